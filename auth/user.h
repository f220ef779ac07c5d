// User: a signed-in account: its identifier and profile as the server last reported them, its
// tokens (held by its SecureTokenService) and the operations that change the account on the
// server. Made by a sign-in flow of Auth, which makes it current and stores it in the key chain;
// every later change of a current user is stored again and every token change announced through
// that Auth.
//
// Readers are thread-safe. Public operations return at once and call their completion (when one
// is given) on the main queue; the internal ones run and call back on the authentication global
// work queue. Account updates, links and unlinks run one at a time on the user's own task queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth/credentials.h"
#include "auth/secure_token_service.h"
#include "auth/serial_task_queue.h"
#include "auth/user_info.h"

namespace dz::auth {

class Auth;
class User;
class UserProfileChangeRequest;
struct GetAccountInfoResponse;
struct GetAccountInfoResponseUser;
struct SetAccountInfoRequest;
using UserPtr = std::shared_ptr<User>;

using TokenCompletion = std::function<void(std::optional<std::string> token, ErrorPtr error)>;
using UserCompletion = std::function<void(UserPtr user, ErrorPtr error)>;
using ErrorCompletion = std::function<void(ErrorPtr error)>;

inline constexpr char kUserProviderID[] = "Dezuvura";

class User : public UserInfo, public std::enable_shared_from_this<User> {
 public:
  // Builds a signed-in user from a token triple: takes an access token (refreshed unless more than
  // 300 seconds of the given one remain), loads the account and calls back on the work queue.
  // Nothing is stored.
  static void retrieveUser(std::string APIKey, std::string accessToken,
                           std::optional<double> accessTokenExpirationDate,
                           std::string refreshToken, bool anonymous, UserCompletion callback);
  static UserPtr create(std::string APIKey, SecureTokenServicePtr tokenService);
  // None unless the archive holds "userID", "APIKey" and a valid "tokenService"; members of the
  // wrong type refuse the archive.
  static UserPtr fromArchive(const Value& archive);
  Value archive() const;

  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // ---- Readers (any thread). ----
  std::string providerID() const override { return kUserProviderID; }
  std::string uid() const override;
  std::optional<std::string> displayName() const override;
  std::optional<std::string> photoURL() const override;
  std::optional<std::string> email() const override;
  bool isAnonymous() const;
  bool isEmailVerified() const;
  bool hasEmailPasswordCredential() const;
  std::vector<UserInfoImpl> providerData() const;
  std::string refreshToken() const;
  std::string rawAccessToken() const;
  const std::string& APIKey() const { return APIKey_; }
  SecureTokenServicePtr tokenService() const;
  // "uid" and "email" only: the text never holds a token.
  std::string description() const;

  // ---- Public operations (completions on the main queue). Empty completions are allowed
  // except for getToken, which throws dz::Exception kInvalidArgumentException without one. ----
  void getToken(TokenCompletion completion);
  void getTokenForcingRefresh(bool forceRefresh, TokenCompletion completion);
  void reload(ErrorCompletion completion = {});
  // An empty text is sent: the server's refusal reaches the completion.
  void updateEmail(const std::string& email, ErrorCompletion completion = {});
  void updatePassword(const std::string& password, ErrorCompletion completion = {});
  void reauthenticate(AuthCredentialPtr credential, ErrorCompletion completion = {});
  void link(AuthCredentialPtr credential, UserCompletion completion = {});
  void unlink(const std::string& provider, UserCompletion completion = {});
  void sendEmailVerification(ErrorCompletion completion = {});
  void deleteUser(ErrorCompletion completion = {});
  std::shared_ptr<UserProfileChangeRequest> profileChangeRequest();

  // ---- Internal (global work queue). ----
  void internalGetToken(TokenCompletion callback) {
    internalGetTokenForcingRefresh(false, callback);
  }
  void internalGetTokenForcingRefresh(bool forceRefresh, TokenCompletion callback);
  void getAccountInfoRefreshingCache(
      std::function<void(std::shared_ptr<GetAccountInfoResponseUser>, ErrorPtr)> callback);
  void updateWithGetAccountInfoResponse(const GetAccountInfoResponse& response);
  using AccountChanges =
      std::function<void(const GetAccountInfoResponseUser& account, SetAccountInfoRequest&)>;
  void executeUserUpdateWithChanges(AccountChanges changes, ErrorCompletion callback);
  void updateEmailPassword(std::optional<std::string> email, std::optional<std::string> password,
                           ErrorCompletion callback);
  void setTokenService(SecureTokenServicePtr tokenService, ErrorCompletion callback);
  // Stores the user through its Auth when it is that Auth's current user; null on success.
  ErrorPtr updateKeychain();
  void setDisplayName(std::optional<std::string> displayName);
  void setPhotoURL(std::optional<std::string> photoURL);
  void setAnonymous(bool anonymous);
  std::shared_ptr<Auth> auth() const;
  void setAuth(const std::shared_ptr<Auth>& auth);

 private:
  User(std::string APIKey, SecureTokenServicePtr tokenService);

  const std::string APIKey_;
  const SerialTaskQueuePtr taskQueue_ = SerialTaskQueue::create();
  mutable std::mutex mutex_;
  SecureTokenServicePtr tokenService_;
  std::string userID_;
  bool anonymous_ = false;
  bool hasEmailPasswordCredential_ = false;
  std::optional<std::string> email_;
  bool emailVerified_ = false;
  std::optional<std::string> displayName_;
  std::optional<std::string> photoURL_;
  std::map<std::string, UserInfoImpl> providerData_;
  std::weak_ptr<Auth> auth_;
};

}  // namespace dz::auth
