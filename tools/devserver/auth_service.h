// AuthService: the development server's authentication endpoints (the identity-toolkit calls and
// the token call), served over HTTPS by an HttpsListener. Users live in memory (optionally also
// in a JSON file, rewritten after each change) with salted PBKDF2 password hashes. Access tokens
// are signed by the server (HMAC-SHA256 with a key made at start) and carry the uid, issue and
// expiry times, so the database side of the same server can accept or refuse them.
//
// Thread-safe: requests arrive on the server's thread, test controls from any thread; one lock
// guards the state and is never held while answering.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "platform/value.h"
#include "tools/devserver/https_listener.h"

namespace dz::devserver {

struct AuthSettings {
  // The server's clock, milliseconds since 1970; the system clock when unset.
  std::function<int64_t()> clockMs;
  std::chrono::seconds tokenLifetime = std::chrono::hours(1);
  // Requests must carry this key ("?key="); empty accepts any non-empty key.
  std::string apiKey;
  // Where users are kept across runs; empty keeps them in memory only.
  std::filesystem::path usersFile;
};

// What the database side learns from an "auth" credential.
struct CredentialCheck {
  std::optional<std::string> refusal;  // "expired_token" or "invalid_token"
  std::string uid;
};

class AuthService {
 public:
  explicit AuthService(AuthSettings settings);
  ~AuthService();
  AuthService(const AuthService&) = delete;
  AuthService& operator=(const AuthService&) = delete;

  // The listener's handler.
  void handle(const HttpRequest& request, HttpResponder respond);
  // An access token's verdict: refused when forged, malformed, expired, revoked or of a user that
  // is gone or disabled.
  CredentialCheck checkCredential(const std::string& token) const;

  // ---- Test controls (any thread). An empty endpoint means every endpoint; the token call's
  // endpoint is "token". ----
  void setTokenLifetime(std::chrono::seconds lifetime);
  // Refresh tokens of the user stop working and its access tokens issued so far are refused.
  void revokeTokens(const std::string& email);
  void disableUser(const std::string& email, bool disabled = true);
  // The next request to `endpoint` is answered 400 with this server error message.
  void injectError(const std::string& endpoint, const std::string& message);
  void delayResponses(const std::string& endpoint, std::chrono::milliseconds delay);
  // Requests to `endpoint` get their connection closed instead of an answer.
  void dropRequests(const std::string& endpoint, bool drop = true);
  // A fresh access token for an existing user (for tests of the database side).
  std::optional<std::string> issueAccessToken(const std::string& email);

  std::optional<std::string> uidForEmail(const std::string& email) const;
  size_t userCount() const;
  size_t requestCount(const std::string& endpoint = {}) const;
  // The bodies received, oldest first, as parsed JSON.
  std::vector<std::pair<std::string, Value>> requests() const;
  // The header fields of the latest request (names in lower case).
  std::map<std::string, std::string> lastRequestHeaders() const;

 private:
  struct UserRecord;
  struct Answer;
  Answer dispatch(const std::string& endpoint, const Value& body) DZ_EXCLUDES(mutex_);
  Answer signUpNewUser(const Value& body) DZ_REQUIRES(mutex_);
  Answer verifyPassword(const Value& body) DZ_REQUIRES(mutex_);
  Answer getAccountInfo(const Value& body) DZ_REQUIRES(mutex_);
  Answer setAccountInfo(const Value& body) DZ_REQUIRES(mutex_);
  Answer getOobConfirmationCode(const Value& body) DZ_REQUIRES(mutex_);
  Answer deleteAccount(const Value& body) DZ_REQUIRES(mutex_);
  Answer createAuthUri(const Value& body) DZ_REQUIRES(mutex_);
  Answer verifyCustomToken(const Value& body) DZ_REQUIRES(mutex_);
  Answer verifyAssertion(const Value& body) DZ_REQUIRES(mutex_);
  Answer token(const Value& body) DZ_REQUIRES(mutex_);

  UserRecord* userByToken(const Value& body, Answer& refusal) DZ_REQUIRES(mutex_);
  UserRecord* userByEmail(const std::string& email) DZ_REQUIRES(mutex_);
  Value::Map issueTokens(UserRecord& user, bool tokenEndpoint) DZ_REQUIRES(mutex_);
  std::string signAccessToken(const UserRecord& user) DZ_REQUIRES(mutex_);
  CredentialCheck checkLocked(const std::string& token) const DZ_REQUIRES(mutex_);
  Value::Map accountJson(const UserRecord& user) const DZ_REQUIRES(mutex_);
  void save() const DZ_REQUIRES(mutex_);
  void load() DZ_REQUIRES(mutex_);
  int64_t nowMs() const DZ_REQUIRES(mutex_);

  std::string signingKey_;
  mutable platform::Mutex mutex_;
  // The token lifetime changes under test control.
  AuthSettings settings_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, UserRecord> users_ DZ_GUARDED_BY(mutex_);           // by uid
  std::map<std::string, std::string> refreshTokens_ DZ_GUARDED_BY(mutex_);  // token -> uid
  std::map<std::string, std::string> injectedErrors_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, std::chrono::milliseconds> delays_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, bool> drops_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, size_t> counts_ DZ_GUARDED_BY(mutex_);
  std::vector<std::pair<std::string, Value>> received_ DZ_GUARDED_BY(mutex_);
  std::map<std::string, std::string> lastHeaders_ DZ_GUARDED_BY(mutex_);
  uint64_t nextUid_ DZ_GUARDED_BY(mutex_) = 1;
};

}  // namespace dz::devserver
