#include "auth/user.h"

#include "auth/archive_keys.h"
#include "auth/auth.h"
#include "auth/auth_errors.h"
#include "auth/rpc/auth_backend.h"
#include "auth/user_profile_change_request.h"
#include "platform/exception.h"

namespace dz::auth {
namespace {

constexpr char kAnonymousKey[] = "anonymous";
constexpr char kHasEmailPasswordKey[] = "hasEmailPassword";
constexpr char kProviderDataKey[] = "providerData";
constexpr char kEmailVerifiedKey[] = "emailVerified";
constexpr char kTokenServiceKey[] = "tokenService";

// Hands a result to an optional completion on the main queue.
template <typename Completion, typename... Args>
void onMain(const Completion& completion, Args... args) {
  if (!completion) return;
  platform::DispatchQueue::main()->async([completion, args...] { completion(args...); });
}

}  // namespace

User::User(std::string APIKey, SecureTokenServicePtr tokenService)
    : APIKey_(std::move(APIKey)), tokenService_(std::move(tokenService)) {}

UserPtr User::create(std::string APIKey, SecureTokenServicePtr tokenService) {
  return UserPtr(new User(std::move(APIKey), std::move(tokenService)));
}

void User::retrieveUser(std::string APIKey, std::string accessToken,
                        std::optional<double> accessTokenExpirationDate, std::string refreshToken,
                        bool anonymous, UserCompletion callback) {
  auto service = SecureTokenService::create(APIKey, std::move(accessToken),
                                            accessTokenExpirationDate, std::move(refreshToken));
  UserPtr user = create(std::move(APIKey), std::move(service));
  user->internalGetToken([user, anonymous, callback = std::move(callback)](
                             std::optional<std::string> token, ErrorPtr error) {
    if (error) return callback(nullptr, error);
    AuthBackend::getAccountInfo(
        GetAccountInfoRequest(user->APIKey(), token.value_or("")),
        [user, anonymous, callback](std::shared_ptr<GetAccountInfoResponse> response,
                                    ErrorPtr error) {
          if (error) return callback(nullptr, error);
          user->setAnonymous(anonymous);
          user->updateWithGetAccountInfoResponse(*response);
          callback(user, nullptr);
        });
  });
}

UserPtr User::fromArchive(const Value& archive) {
  ArchiveReader reader(archive);
  auto userID = reader.string(kUserIDKey);
  auto APIKey = reader.string(kAPIKeyKey);
  auto anonymous = reader.boolean(kAnonymousKey);
  auto hasEmailPassword = reader.boolean(kHasEmailPasswordKey);
  auto email = reader.string(kEmailKey);
  auto emailVerified = reader.boolean(kEmailVerifiedKey);
  auto photoURL = reader.string(kPhotoURLKey);
  auto displayName = reader.string(kDisplayNameKey);
  SecureTokenServicePtr service = SecureTokenService::fromArchive(archive[kTokenServiceKey]);
  std::map<std::string, UserInfoImpl> providerData;
  const Value& providers = archive[kProviderDataKey];
  if (const Value::Map* map = providers.getMap()) {
    for (const auto& [provider, info] : *map) {
      std::optional<UserInfoImpl> decoded = UserInfoImpl::fromArchive(info);
      if (!decoded) return nullptr;
      providerData.emplace(provider, std::move(*decoded));
    }
  } else if (!providers.isNull()) {
    return nullptr;
  }
  if (!reader.wellTyped() || !userID || userID->empty() || !APIKey || !service) return nullptr;
  UserPtr user = create(*APIKey, std::move(service));
  user->userID_ = *userID;
  user->hasEmailPasswordCredential_ = hasEmailPassword.value_or(false);
  user->anonymous_ = (anonymous || user->hasEmailPasswordCredential_) ? anonymous.value_or(false)
                                                                      : providerData.empty();
  user->email_ = std::move(email);
  user->emailVerified_ = emailVerified.value_or(false);
  user->photoURL_ = std::move(photoURL);
  user->displayName_ = std::move(displayName);
  user->providerData_ = std::move(providerData);
  return user;
}

Value User::archive() const {
  std::lock_guard lock(mutex_);
  Value::Map providers;
  for (const auto& [provider, info] : providerData_) providers.emplace(provider, info.archive());
  Value::Map map{{kUserIDKey, Value(userID_)},
                 {kAnonymousKey, Value(anonymous_)},
                 {kHasEmailPasswordKey, Value(hasEmailPasswordCredential_)},
                 {kProviderDataKey, Value(std::move(providers))},
                 {kEmailVerifiedKey, Value(emailVerified_)},
                 {kAPIKeyKey, Value(APIKey_)},
                 {kTokenServiceKey, tokenService_->archive()}};
  if (email_) map[kEmailKey] = Value(*email_);
  if (photoURL_) map[kPhotoURLKey] = Value(*photoURL_);
  if (displayName_) map[kDisplayNameKey] = Value(*displayName_);
  return map;
}

std::string User::uid() const {
  std::lock_guard lock(mutex_);
  return userID_;
}
std::optional<std::string> User::displayName() const {
  std::lock_guard lock(mutex_);
  return displayName_;
}
std::optional<std::string> User::photoURL() const {
  std::lock_guard lock(mutex_);
  return photoURL_;
}
std::optional<std::string> User::email() const {
  std::lock_guard lock(mutex_);
  return email_;
}
bool User::isAnonymous() const {
  std::lock_guard lock(mutex_);
  return anonymous_;
}
bool User::isEmailVerified() const {
  std::lock_guard lock(mutex_);
  return emailVerified_;
}
bool User::hasEmailPasswordCredential() const {
  std::lock_guard lock(mutex_);
  return hasEmailPasswordCredential_;
}
std::vector<UserInfoImpl> User::providerData() const {
  std::lock_guard lock(mutex_);
  std::vector<UserInfoImpl> result;
  for (const auto& [provider, info] : providerData_) result.push_back(info);
  return result;
}
SecureTokenServicePtr User::tokenService() const {
  std::lock_guard lock(mutex_);
  return tokenService_;
}
std::string User::refreshToken() const { return tokenService()->refreshToken(); }
std::string User::rawAccessToken() const { return tokenService()->rawAccessToken(); }

std::string User::description() const {
  std::lock_guard lock(mutex_);
  return "<User uid: " + userID_ + ", email: " + email_.value_or("(none)") + ">";
}

std::shared_ptr<Auth> User::auth() const {
  std::lock_guard lock(mutex_);
  return auth_.lock();
}

void User::setAuth(const std::shared_ptr<Auth>& auth) {
  std::lock_guard lock(mutex_);
  auth_ = auth;
}

void User::setDisplayName(std::optional<std::string> displayName) {
  std::lock_guard lock(mutex_);
  displayName_ = std::move(displayName);
}

void User::setPhotoURL(std::optional<std::string> photoURL) {
  std::lock_guard lock(mutex_);
  photoURL_ = std::move(photoURL);
}

void User::setAnonymous(bool anonymous) {
  std::lock_guard lock(mutex_);
  anonymous_ = anonymous;
}

ErrorPtr User::updateKeychain() {
  std::shared_ptr<Auth> owner = auth();
  return owner ? owner->updateKeychainWithUser(shared_from_this()) : nullptr;
}

void User::internalGetTokenForcingRefresh(bool forceRefresh, TokenCompletion callback) {
  tokenService()->fetchAccessTokenForcingRefresh(
      forceRefresh, [self = shared_from_this(), callback = std::move(callback)](
                        std::optional<std::string> token, ErrorPtr error, bool tokensChanged) {
        if (error) return callback(std::nullopt, error);
        if (tokensChanged) {
          if (ErrorPtr saveError = self->updateKeychain()) return callback(std::nullopt, saveError);
          if (auto owner = self->auth()) {
            owner->notifyListenersOfAuthStateChange(self, token.value_or(""));
          }
        }
        callback(std::move(token), nullptr);
      });
}

void User::getToken(TokenCompletion completion) { getTokenForcingRefresh(false, completion); }

void User::getTokenForcingRefresh(bool forceRefresh, TokenCompletion completion) {
  if (!completion) throw Exception(kInvalidArgumentException, "completion must not be nil.");
  globalWorkQueue()->async([self = shared_from_this(), forceRefresh, completion] {
    self->internalGetTokenForcingRefresh(
        forceRefresh, [completion](std::optional<std::string> token, ErrorPtr error) {
          onMain(completion, token, error);
        });
  });
}

void User::updateWithGetAccountInfoResponse(const GetAccountInfoResponse& response) {
  if (response.users.empty()) return;
  const GetAccountInfoResponseUser& account = response.users.front();
  std::map<std::string, UserInfoImpl> providers;
  for (const auto& info : account.providerUserInfo) {
    providers.insert_or_assign(
        info.providerID, UserInfoImpl::userInfoWithGetAccountInfoResponseProviderUserInfo(info));
  }
  std::lock_guard lock(mutex_);
  userID_ = account.localID;
  email_ = nonEmpty(account.email);
  emailVerified_ = account.emailVerified;
  displayName_ = nonEmpty(account.displayName);
  photoURL_ = nonEmpty(account.photoURL);
  hasEmailPasswordCredential_ = !account.passwordHash.empty();
  providerData_ = std::move(providers);
}

void User::getAccountInfoRefreshingCache(
    std::function<void(std::shared_ptr<GetAccountInfoResponseUser>, ErrorPtr)> callback) {
  internalGetToken([self = shared_from_this(), callback = std::move(callback)](
                       std::optional<std::string> token, ErrorPtr error) {
    if (error) return callback(nullptr, error);
    AuthBackend::getAccountInfo(
        GetAccountInfoRequest(self->APIKey_, token.value_or("")),
        [self, callback](std::shared_ptr<GetAccountInfoResponse> response, ErrorPtr error) {
          if (error) return callback(nullptr, error);
          self->updateWithGetAccountInfoResponse(*response);
          if (ErrorPtr saveError = self->updateKeychain()) return callback(nullptr, saveError);
          callback(std::make_shared<GetAccountInfoResponseUser>(response->users.front()), nullptr);
        });
  });
}

void User::reload(ErrorCompletion completion) {
  globalWorkQueue()->async([self = shared_from_this(), completion] {
    self->getAccountInfoRefreshingCache(
        [completion](std::shared_ptr<GetAccountInfoResponseUser>, ErrorPtr error) {
          onMain(completion, error);
        });
  });
}

void User::executeUserUpdateWithChanges(AccountChanges changes, ErrorCompletion callback) {
  taskQueue_->enqueueTask([self = shared_from_this(), changes = std::move(changes),
                           callback = std::move(callback)](SerialTaskQueue::Completion complete) {
    auto finish = [complete, callback](ErrorPtr error) {
      complete();
      callback(error);
    };
    self->getAccountInfoRefreshingCache([self, changes, finish](
                                            std::shared_ptr<GetAccountInfoResponseUser> account,
                                            ErrorPtr error) {
      if (error) return finish(error);
      self->internalGetToken([self, changes, finish, account](std::optional<std::string> token,
                                                              ErrorPtr error) {
        if (error) return finish(error);
        SetAccountInfoRequest request(self->APIKey_);
        request.accessToken = token.value_or("");
        changes(*account, request);
        AuthBackend::setAccountInfo(
            request,
            [self, finish](std::shared_ptr<SetAccountInfoResponse> response, ErrorPtr error) {
              if (error) return finish(error);
              if (response->IDToken.empty() || response->refreshToken.empty())
                return finish(nullptr);
              self->setTokenService(SecureTokenService::create(self->APIKey_, response->IDToken,
                                                               response->approximateExpirationDate,
                                                               response->refreshToken),
                                    finish);
            });
      });
    });
  });
}

void User::setTokenService(SecureTokenServicePtr tokenService, ErrorCompletion callback) {
  tokenService->fetchAccessTokenForcingRefresh(
      false, [self = shared_from_this(), tokenService, callback = std::move(callback)](
                 std::optional<std::string> token, ErrorPtr error, bool) {
        if (error) return callback(error);
        {
          std::lock_guard lock(self->mutex_);
          self->tokenService_ = tokenService;
        }
        if (ErrorPtr saveError = self->updateKeychain()) return callback(saveError);
        if (auto owner = self->auth()) {
          owner->notifyListenersOfAuthStateChange(self, token.value_or(""));
        }
        callback(nullptr);
      });
}

void User::updateEmailPassword(std::optional<std::string> email,
                               std::optional<std::string> password, ErrorCompletion callback) {
  executeUserUpdateWithChanges(
      [email, password](const GetAccountInfoResponseUser&, SetAccountInfoRequest& request) {
        if (email) request.email = *email;
        if (password) request.password = *password;
      },
      [self = shared_from_this(), email, password, callback = std::move(callback)](ErrorPtr error) {
        if (error) return callback(error);
        {
          std::lock_guard lock(self->mutex_);
          if (email) self->email_ = email;
          if (self->email_ && password) {
            self->anonymous_ = false;
            self->hasEmailPasswordCredential_ = true;
          }
        }
        callback(self->updateKeychain());
      });
}

void User::updateEmail(const std::string& email, ErrorCompletion completion) {
  globalWorkQueue()->async([self = shared_from_this(), email, completion] {
    self->updateEmailPassword(email, std::nullopt,
                              [completion](ErrorPtr error) { onMain(completion, error); });
  });
}

void User::updatePassword(const std::string& password, ErrorCompletion completion) {
  globalWorkQueue()->async([self = shared_from_this(), password, completion] {
    self->updateEmailPassword(std::nullopt, password,
                              [completion](ErrorPtr error) { onMain(completion, error); });
  });
}

void User::reauthenticate(AuthCredentialPtr credential, ErrorCompletion completion) {
  if (!credential) throw Exception(kInvalidArgumentException, "credential must not be nil.");
  globalWorkQueue()->async([self = shared_from_this(), credential, completion] {
    std::shared_ptr<Auth> owner = self->auth();
    if (!owner) return onMain(completion, errors::userMismatchError());
    owner->signInWithCredentialInternal(
        credential, [self, owner, completion](UserPtr user, ErrorPtr error) {
          if (error) return onMain(completion, error);
          UserPtr current = owner->currentUser();
          if (!current || current->uid() != user->uid()) {
            return onMain(completion, errors::userMismatchError());
          }
          self->setTokenService(user->tokenService(),
                                [completion](ErrorPtr error) { onMain(completion, error); });
        });
  });
}

void User::link(AuthCredentialPtr credential, UserCompletion completion) {
  if (!credential) throw Exception(kInvalidArgumentException, "credential must not be nil.");
  globalWorkQueue()->async([self = shared_from_this(), credential, completion] {
    auto done = [self, completion](ErrorPtr error) {
      onMain(completion, error ? nullptr : self, error);
    };
    if (auto* emailPassword = dynamic_cast<const EmailPasswordAuthCredential*>(credential.get())) {
      if (self->hasEmailPasswordCredential()) return done(errors::providerAlreadyLinkedError());
      return self->updateEmailPassword(emailPassword->email(), emailPassword->password(), done);
    }
    {
      std::lock_guard lock(self->mutex_);
      if (self->providerData_.count(credential->provider())) {
        return done(errors::providerAlreadyLinkedError());
      }
    }
    self->taskQueue_->enqueueTask([self, credential, done](SerialTaskQueue::Completion complete) {
      auto finish = [complete, done](ErrorPtr error) {
        complete();
        done(error);
      };
      self->internalGetToken([self, credential, finish](std::optional<std::string> token,
                                                        ErrorPtr error) {
        if (error) return finish(error);
        VerifyAssertionRequest request(self->APIKey_, credential->provider());
        credential->prepareVerifyAssertionRequest(request);
        request.accessToken = token.value_or("");
        AuthBackend::verifyAssertion(request, [self, finish](
                                                  std::shared_ptr<VerifyAssertionResponse> response,
                                                  ErrorPtr error) {
          if (error) return finish(error);
          auto service = SecureTokenService::create(self->APIKey_, response->IDToken,
                                                    response->approximateExpirationDate,
                                                    response->refreshToken);
          {
            std::lock_guard lock(self->mutex_);
            self->tokenService_ = service;
          }
          self->internalGetToken([self, finish](std::optional<std::string> token, ErrorPtr error) {
            if (error) return finish(error);
            AuthBackend::getAccountInfo(
                GetAccountInfoRequest(self->APIKey_, token.value_or("")),
                [self, finish](std::shared_ptr<GetAccountInfoResponse> response, ErrorPtr error) {
                  if (error) return finish(error);
                  self->setAnonymous(false);
                  self->updateWithGetAccountInfoResponse(*response);
                  finish(self->updateKeychain());
                });
          });
        });
      });
    });
  });
}

void User::unlink(const std::string& provider, UserCompletion completion) {
  taskQueue_->enqueueTask([self = shared_from_this(), provider,
                           completion](SerialTaskQueue::Completion complete) {
    auto finish = [self, complete, completion](ErrorPtr error) {
      complete();
      onMain(completion, error ? nullptr : self, error);
    };
    const bool isPassword = provider == kEmailPasswordProviderID;
    {
      std::lock_guard lock(self->mutex_);
      // Checked before anything is sent.
      if (isPassword ? !self->hasEmailPasswordCredential_ : !self->providerData_.count(provider)) {
        return finish(errors::noSuchProviderError());
      }
    }
    self->internalGetToken(
        [self, provider, isPassword, finish](std::optional<std::string> token, ErrorPtr error) {
          if (error) return finish(error);
          SetAccountInfoRequest request(self->APIKey_);
          request.accessToken = token.value_or("");
          if (isPassword) {
            request.deleteAttributes = {kDeleteAttributePassword};
          } else {
            request.deleteProviders = {provider};
          }
          AuthBackend::setAccountInfo(
              request, [self, provider, isPassword, finish](
                           std::shared_ptr<SetAccountInfoResponse> response, ErrorPtr error) {
                if (error) return finish(error);
                {
                  std::lock_guard lock(self->mutex_);
                  if (isPassword) {
                    self->hasEmailPasswordCredential_ = false;
                  } else {
                    self->providerData_.erase(provider);
                  }
                }
                if (!response->IDToken.empty() && !response->refreshToken.empty()) {
                  return self->setTokenService(
                      SecureTokenService::create(self->APIKey_, response->IDToken,
                                                 response->approximateExpirationDate,
                                                 response->refreshToken),
                      finish);
                }
                finish(self->updateKeychain());
              });
        });
  });
}

void User::sendEmailVerification(ErrorCompletion completion) {
  globalWorkQueue()->async([self = shared_from_this(), completion] {
    self->internalGetToken([self, completion](std::optional<std::string> token, ErrorPtr error) {
      if (error) return onMain(completion, error);
      AuthBackend::getOOBConfirmationCode(
          GetOOBConfirmationCodeRequest::verifyEmailRequest(token.value_or(""), self->APIKey_),
          [completion](std::shared_ptr<GetOOBConfirmationCodeResponse>, ErrorPtr error) {
            onMain(completion, error);
          });
    });
  });
}

void User::deleteUser(ErrorCompletion completion) {
  globalWorkQueue()->async([self = shared_from_this(), completion] {
    self->internalGetToken([self, completion](std::optional<std::string> token, ErrorPtr error) {
      if (error) return onMain(completion, error);
      AuthBackend::deleteAccount(
          DeleteAccountRequest(self->APIKey_, self->uid(), token.value_or("")),
          [self, completion](ErrorPtr error) {
            if (error) return onMain(completion, error);
            // The user's own Auth signs out: the deleted account may belong to any app.
            std::shared_ptr<Auth> owner = self->auth();
            onMain(completion, owner ? owner->signOutByForceWithUserID(self->uid()) : nullptr);
          });
    });
  });
}

std::shared_ptr<UserProfileChangeRequest> User::profileChangeRequest() {
  return std::make_shared<UserProfileChangeRequest>(shared_from_this());
}

}  // namespace dz::auth
