// SecureTokenService: one account's access token, its approximate expiry and its refresh token.
// It hands out the access token while more than 300 seconds of it remain, and otherwise (or when
// forced) exchanges the refresh token (or, without one, the authorization code) at the token
// endpoint. One exchange at a time: fetches wait on the service's own serial task queue. Readers
// are thread-safe; fetches run on the authentication global work queue. Owned by its user.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/serial_task_queue.h"
#include "platform/error.h"
#include "platform/value.h"

namespace dz::auth {

// An access token is valid while more than this many seconds of it remain.
inline constexpr double kTokenRefreshHeadStartSeconds = 300;

class SecureTokenService : public std::enable_shared_from_this<SecureTokenService> {
 public:
  // (token or none, error or none, whether the held tokens changed).
  using TokenCallback =
      std::function<void(std::optional<std::string> token, ErrorPtr error, bool tokensChanged)>;

  static std::shared_ptr<SecureTokenService> create(std::string APIKey, std::string accessToken,
                                                    std::optional<double> accessTokenExpirationDate,
                                                    std::string refreshToken);
  static std::shared_ptr<SecureTokenService> createWithAuthorizationCode(
      std::string APIKey, std::string authorizationCode);
  // None unless the archive holds "APIKey" and "refreshToken" (strings), with any other member of
  // the right type.
  static std::shared_ptr<SecureTokenService> fromArchive(const Value& archive);
  // Keys "APIKey", "refreshToken", "accessToken", "accessTokenExpirationDate".
  Value archive() const;

  SecureTokenService(const SecureTokenService&) = delete;
  SecureTokenService& operator=(const SecureTokenService&) = delete;

  // Calls back on the global work queue once the task queue reaches this fetch.
  void fetchAccessTokenForcingRefresh(bool forceRefresh, TokenCallback callback);

  bool hasValidAccessToken() const;
  std::string rawAccessToken() const;
  std::string refreshToken() const;
  std::optional<double> accessTokenExpirationDate() const;
  const std::string& APIKey() const { return APIKey_; }

 private:
  SecureTokenService(std::string APIKey, std::string accessToken,
                     std::optional<double> expirationDate, std::string refreshToken,
                     std::string authorizationCode);
  void requestAccessToken(TokenCallback callback);

  const std::string APIKey_;
  const std::string authorizationCode_;
  const SerialTaskQueuePtr taskQueue_ = SerialTaskQueue::create();
  mutable std::mutex mutex_;
  std::string accessToken_;
  std::optional<double> accessTokenExpirationDate_;
  std::string refreshToken_;
};
using SecureTokenServicePtr = std::shared_ptr<SecureTokenService>;

}  // namespace dz::auth
