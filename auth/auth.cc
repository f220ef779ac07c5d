#include "auth/auth.h"

#include <map>

#include "auth/auth_errors.h"
#include "auth/rpc/auth_backend.h"
#include "core/app_association_registration.h"
#include "core/library_registry.h"
#include "core/logger.h"
#include "platform/exception.h"

namespace dz::auth {
namespace {

constexpr char kLibraryName[] = "DZAuth";
constexpr char kServiceNamePrefix[] = "dezuvura_auth_";
constexpr char kUserKeySuffix[] = "_dezuvura_user";
constexpr char kLoadUserErrorCode[] = "I-AUT000001";
constexpr char kLoadUserErrorMessage[] = "Error loading saved user when starting up: ";
constexpr char kUndecodableUserMessage[] =
    "the stored user could not be decoded; it was removed and the app starts signed out";
constexpr char kContinueURI[] = "http://www.vivuro.com/";
constexpr char kNilListenerReason[] = "listener must not be nil.";
constexpr char kNilResetEmailReason[] = "The email used to initiate user password cannot be nil";

struct ServiceNames {
  platform::Mutex mutex;
  std::map<std::string, std::string> byAppName DZ_GUARDED_BY(mutex);
};

ServiceNames& serviceNames() {
  static auto* table = new ServiceNames;
  return *table;
}

std::string userKeyFor(const std::string& appName) { return appName + kUserKeySuffix; }

void requireText(const std::string& text, const char* reason) {
  if (text.empty()) throw Exception(kInvalidArgumentException, reason);
}

void onMain(const AuthResultCallback& completion, UserPtr user, ErrorPtr error) {
  if (!completion) return;
  platform::DispatchQueue::main()->async([completion, user, error] { completion(user, error); });
}

void onMain(const ErrorCompletion& completion, ErrorPtr error) {
  if (!completion) return;
  platform::DispatchQueue::main()->async([completion, error] { completion(error); });
}

const std::string* appNameOf(const platform::Notification& notification) {
  auto found = notification.userInfo.find(core::kAppNameKey);
  return found == notification.userInfo.end() ? nullptr : found->second.getString();
}

void removeStoredUserOfDeletedApp(const std::string& appName) {
  if (std::optional<std::string> service = Auth::keychainServiceNameForAppName(appName)) {
    Auth::deleteKeychainServiceNameForAppName(appName);
    AuthKeychain(*service).removeDataForKey(userKeyFor(appName));
  }
  platform::DispatchQueue::main()->async([] {
    platform::NotificationCenter::defaultCenter().post(kAuthStateDidChangeNotification, nullptr);
  });
}

}  // namespace

void registerAuthLibrary() {
  core::registerLibrary(kLibraryName, [] {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(core::kAppReadyToConfigureSDKNotification, core::App::classIdentity(),
                       nullptr, [](const platform::Notification& notification) {
                         const std::string* name = appNameOf(notification);
                         if (!name) return;
                         if (core::AppPtr app = core::App::appNamed(*name)) Auth::authWithApp(app);
                       });
    center.addObserver(
        core::kAppDeleteNotification, core::App::classIdentity(), nullptr,
        [](const platform::Notification& notification) {
          const std::string* name = appNameOf(notification);
          if (!name) return;
          globalWorkQueue()->async([name = *name] { removeStoredUserOfDeletedApp(name); });
        });
  });
}

std::shared_ptr<Auth> Auth::auth() {
  core::AppPtr app = core::App::defaultApp();
  return app ? authWithApp(app) : nullptr;
}

std::shared_ptr<Auth> Auth::authWithApp(const core::AppPtr& app) {
  if (!app) throw Exception(kInvalidArgumentException, "app must not be nil.");
  return core::AppAssociationRegistration::registeredObject<Auth>(
      app, kAuthRegistrationKey, std::function<std::shared_ptr<Auth>()>([&app] {
        setKeychainServiceNameForApp(*app);
        auto auth = std::shared_ptr<Auth>(new Auth(app));
        ErrorPtr error;
        if (UserPtr user = auth->getUser(error)) {
          auth->updateCurrentUser(user, false, false);
        } else if (error) {
          core::logError(kAuthLogTag, kLoadUserErrorCode,
                         kLoadUserErrorMessage + error->localizedDescription());
        }
        auth->installTokenGetter(app);
        return auth;
      }));
}

void Auth::setKeychainServiceNameForApp(const core::App& app) {
  platform::MutexLock lock(serviceNames().mutex);
  serviceNames().byAppName[app.name()] = kServiceNamePrefix + app.options().vivuroAppID;
}

std::optional<std::string> Auth::keychainServiceNameForAppName(const std::string& appName) {
  platform::MutexLock lock(serviceNames().mutex);
  auto found = serviceNames().byAppName.find(appName);
  if (found == serviceNames().byAppName.end()) return std::nullopt;
  return found->second;
}

void Auth::deleteKeychainServiceNameForAppName(const std::string& appName) {
  platform::MutexLock lock(serviceNames().mutex);
  serviceNames().byAppName.erase(appName);
}

Auth::Auth(const core::AppPtr& app)
    : app_(app), appIdentity_(app.get()), APIKey_(app->options().APIKey), appName_(app->name()) {
  if (std::optional<std::string> service = keychainServiceNameForAppName(appName_)) {
    keychain_ = std::make_unique<AuthKeychain>(*service);
  }
}

Auth::~Auth() {
  platform::MutexLock lock(listenerMutex_);
  for (auto handle = listenerHandles_.rbegin(); handle != listenerHandles_.rend(); ++handle) {
    platform::NotificationCenter::defaultCenter().removeObserver(*handle);
  }
}

void Auth::installTokenGetter(const core::AppPtr& app) {
  app->setGetTokenImplementation(
      [weak = weak_from_this()](bool forceRefresh, core::GetTokenCallback callback) {
        globalWorkQueue()->async([weak, forceRefresh, callback] {
          auto answer = [callback](std::optional<std::string> token, ErrorPtr error) {
            platform::DispatchQueue::main()->async(
                [callback, token, error] { callback(token, error); });
          };
          auto self = weak.lock();
          UserPtr user = self ? self->currentUser() : nullptr;
          if (!user) return answer(std::nullopt, nullptr);
          user->internalGetTokenForcingRefresh(forceRefresh, answer);
        });
      });
}

std::string Auth::userKey() const { return userKeyFor(appName_); }

UserPtr Auth::currentUser() const {
  platform::MutexLock lock(userMutex_);
  return currentUser_;
}

// ---- Sign-in flows ----

void Auth::runSignInFlow(AuthResultCallback completion,
                         std::function<void(AuthResultCallback wrapped)> flow) {
  globalWorkQueue()->async(
      [self = shared_from_this(), completion = std::move(completion), flow = std::move(flow)] {
        flow(self->signInFlowAuthResultCallbackByDecoratingCallback(completion));
      });
}

AuthResultCallback Auth::signInFlowAuthResultCallbackByDecoratingCallback(
    AuthResultCallback completion) {
  return [self = shared_from_this(), completion](UserPtr user, ErrorPtr error) {
    if (error) return onMain(completion, nullptr, error);
    if (ErrorPtr saveError = self->updateCurrentUser(user, false, true)) {
      return onMain(completion, nullptr, saveError);
    }
    onMain(completion, user, nullptr);
  };
}

void Auth::signInWithEmail(const std::string& email, const std::string& password,
                           AuthResultCallback completion) {
  runSignInFlow(std::move(completion),
                [self = shared_from_this(), email, password](AuthResultCallback wrapped) {
                  self->signInWithEmailInternal(email, password, wrapped);
                });
}

void Auth::signInWithEmailInternal(const std::string& email, const std::string& password,
                                   AuthResultCallback callback) {
  AuthBackend::verifyPassword(
      VerifyPasswordRequest(email, password, APIKey_),
      [self = shared_from_this(), callback](std::shared_ptr<VerifyPasswordResponse> response,
                                            ErrorPtr error) {
        if (error) return callback(nullptr, error);
        self->completeSignIn(response->IDToken, response->approximateExpirationDate,
                             response->refreshToken, false, callback);
      });
}

void Auth::signInWithCredential(AuthCredentialPtr credential, AuthResultCallback completion) {
  if (!credential) throw Exception(kInvalidArgumentException, "credential must not be nil.");
  runSignInFlow(std::move(completion),
                [self = shared_from_this(), credential](AuthResultCallback wrapped) {
                  self->signInWithCredentialInternal(credential, wrapped);
                });
}

void Auth::signInWithCredentialInternal(AuthCredentialPtr credential, AuthResultCallback callback) {
  if (auto* emailPassword = dynamic_cast<const EmailPasswordAuthCredential*>(credential.get())) {
    return signInWithEmailInternal(emailPassword->email(), emailPassword->password(), callback);
  }
  VerifyAssertionRequest request(APIKey_, credential->provider());
  credential->prepareVerifyAssertionRequest(request);
  AuthBackend::verifyAssertion(
      request, [self = shared_from_this(), callback](
                   std::shared_ptr<VerifyAssertionResponse> response, ErrorPtr error) {
        if (error) return callback(nullptr, error);
        if (response->needConfirmation) {
          return callback(nullptr, errors::emailAlreadyInUseError(response->email));
        }
        if (response->providerID.empty()) {
          return callback(nullptr, errors::unexpectedResponse(Value(response->dictionary)));
        }
        self->completeSignIn(response->IDToken, response->approximateExpirationDate,
                             response->refreshToken, false, callback);
      });
}

void Auth::signInAnonymously(AuthResultCallback completion) {
  runSignInFlow(std::move(completion), [self = shared_from_this()](AuthResultCallback wrapped) {
    UserPtr current = self->currentUser();
    if (current && current->isAnonymous()) return wrapped(current, nullptr);
    AuthBackend::signUpNewUser(
        SignUpNewUserRequest(self->APIKey_),
        [self, wrapped](std::shared_ptr<SignUpNewUserResponse> response, ErrorPtr error) {
          if (error) return wrapped(nullptr, error);
          self->completeSignIn(response->IDToken, response->approximateExpirationDate,
                               response->refreshToken, true, wrapped);
        });
  });
}

void Auth::signInWithCustomToken(const std::string& token, AuthResultCallback completion) {
  runSignInFlow(
      std::move(completion), [self = shared_from_this(), token](AuthResultCallback wrapped) {
        AuthBackend::verifyCustomToken(
            VerifyCustomTokenRequest(token, self->APIKey_),
            [self, wrapped](std::shared_ptr<VerifyCustomTokenResponse> response, ErrorPtr error) {
              if (error) return wrapped(nullptr, error);
              self->completeSignIn(response->IDToken, response->approximateExpirationDate,
                                   response->refreshToken, false, wrapped);
            });
      });
}

void Auth::createUserWithEmail(const std::string& email, const std::string& password,
                               AuthResultCallback completion) {
  runSignInFlow(std::move(completion), [self = shared_from_this(), email,
                                        password](AuthResultCallback wrapped) {
    AuthBackend::signUpNewUser(
        SignUpNewUserRequest(self->APIKey_, email, password, ""),
        [self, wrapped](std::shared_ptr<SignUpNewUserResponse> response, ErrorPtr error) {
          if (error) return wrapped(nullptr, error);
          self->completeSignIn(response->IDToken, response->approximateExpirationDate,
                               response->refreshToken, false, wrapped);
        });
  });
}

void Auth::completeSignIn(std::string accessToken, std::optional<double> expirationDate,
                          std::string refreshToken, bool anonymous, AuthResultCallback callback) {
  User::retrieveUser(APIKey_, std::move(accessToken), expirationDate, std::move(refreshToken),
                     anonymous, std::move(callback));
}

void Auth::fetchProvidersForEmail(const std::string& email, ProviderQueryCallback completion) {
  requireText(email, "The email must not be empty.");
  globalWorkQueue()->async([self = shared_from_this(), email, completion] {
    AuthBackend::createAuthURI(
        CreateAuthURIRequest(email, kContinueURI, self->APIKey_),
        [completion](std::shared_ptr<CreateAuthURIResponse> response, ErrorPtr error) {
          if (!completion) return;
          std::optional<std::vector<std::string>> providers;
          if (response) providers = response->allProviders;
          platform::DispatchQueue::main()->async(
              [completion, providers, error] { completion(providers, error); });
        });
  });
}

void Auth::sendPasswordResetWithEmail(const std::string& email, ErrorCompletion completion) {
  requireText(email, kNilResetEmailReason);
  globalWorkQueue()->async([self = shared_from_this(), email, completion] {
    AuthBackend::getOOBConfirmationCode(
        GetOOBConfirmationCodeRequest::passwordResetRequest(email, self->APIKey_),
        [completion](std::shared_ptr<GetOOBConfirmationCodeResponse>, ErrorPtr error) {
          onMain(completion, error);
        });
  });
}

// ---- Signing out ----

bool Auth::signOut(ErrorPtr* error) {
  ErrorPtr result;
  globalWorkQueue()->sync([&] {
    if (currentUser()) result = updateCurrentUser(nullptr, false, true);
  });
  if (error) *error = result;
  return !result;
}

ErrorPtr Auth::signOutByForceWithUserID(const std::string& userID) {
  UserPtr current = currentUser();
  if (!current || current->uid() != userID) return nullptr;
  return updateCurrentUser(nullptr, true, true);
}

// ---- The current user and its storage ----

ErrorPtr Auth::updateCurrentUser(UserPtr user, bool byForce, bool savingToDisk) {
  if (user == currentUser()) return nullptr;
  ErrorPtr error;
  if (savingToDisk) {
    error = saveUser(user);
    if (error && !byForce) return error;
  }
  UserPtr previous;
  {
    platform::MutexLock lock(userMutex_);
    previous = std::exchange(currentUser_, user);
  }
  if (previous) previous->setAuth(nullptr);
  if (user) user->setAuth(shared_from_this());
  notifyListenersOfAuthStateChange(user, user ? user->rawAccessToken() : std::string());
  return error;
}

ErrorPtr Auth::saveUser(const UserPtr& user) {
  if (!keychain_) return nullptr;
  if (!user) return keychain_->removeDataForKey(userKey());
  Value archive(Value::Map{{userKey(), user->archive()}});
  return keychain_->setData(archive.toJsonString(), userKey());
}

UserPtr Auth::getUser(ErrorPtr& error) {
  error = nullptr;
  if (!keychain_) return nullptr;
  std::optional<std::string> data = keychain_->dataForKey(userKey(), error);
  if (!data) return nullptr;
  std::optional<Value> archive = Value::parseJson(*data);
  UserPtr user = archive ? User::fromArchive((*archive)[userKey()]) : nullptr;
  if (!user) {
    core::logError(kAuthLogTag, kLoadUserErrorCode,
                   std::string(kLoadUserErrorMessage) + kUndecodableUserMessage);
    keychain_->removeDataForKey(userKey());
  }
  return user;
}

ErrorPtr Auth::updateKeychainWithUser(const UserPtr& user) {
  if (user != currentUser()) return nullptr;
  return saveUser(user);
}

void Auth::notifyListenersOfAuthStateChange(const UserPtr& user, const std::string& token) {
  platform::DispatchQueue::main()->async([weak = weak_from_this(), user, token] {
    auto self = weak.lock();
    if (!self || self->currentUser() != user) return;
    Value::Map userInfo;
    if (!token.empty()) {
      userInfo[core::kAuthStateDidChangeInternalNotificationTokenKey] = Value(token);
    }
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(core::kAuthStateDidChangeInternalNotification, self->appIdentity_,
                std::move(userInfo));
    center.post(kAuthStateDidChangeNotification, self.get());
  });
}

// ---- Listeners ----

ListenerHandle Auth::addAuthStateDidChangeListener(AuthStateListener listener) {
  if (!listener) throw Exception(kInvalidArgumentException, kNilListenerReason);
  auto weak = weak_from_this();
  auto call = [weak, listener] {
    if (auto self = weak.lock()) listener(self, self->currentUser());
  };
  ListenerHandle handle = platform::NotificationCenter::defaultCenter().addObserver(
      kAuthStateDidChangeNotification, this, platform::DispatchQueue::main(),
      [call](const platform::Notification&) { call(); });
  {
    platform::MutexLock lock(listenerMutex_);
    listenerHandles_.push_back(handle);
  }
  platform::DispatchQueue::main()->async(call);
  return handle;
}

void Auth::removeAuthStateDidChangeListener(ListenerHandle handle) {
  platform::NotificationCenter::defaultCenter().removeObserver(handle);
  platform::MutexLock lock(listenerMutex_);
  std::erase(listenerHandles_, handle);
}

}  // namespace dz::auth
