#include "auth/secure_token_service.h"

#include "auth/archive_keys.h"
#include "auth/rpc/auth_backend.h"
#include "platform/wall_clock.h"

namespace dz::auth {
namespace {

constexpr char kRefreshTokenKey[] = "refreshToken";
constexpr char kAccessTokenKey[] = "accessToken";
constexpr char kExpirationDateKey[] = "accessTokenExpirationDate";

}  // namespace

SecureTokenService::SecureTokenService(std::string APIKey, std::string accessToken,
                                       std::optional<double> expirationDate,
                                       std::string refreshToken, std::string authorizationCode)
    : APIKey_(std::move(APIKey)),
      authorizationCode_(std::move(authorizationCode)),
      accessToken_(std::move(accessToken)),
      accessTokenExpirationDate_(expirationDate),
      refreshToken_(std::move(refreshToken)) {}

std::shared_ptr<SecureTokenService> SecureTokenService::create(
    std::string APIKey, std::string accessToken, std::optional<double> accessTokenExpirationDate,
    std::string refreshToken) {
  return std::shared_ptr<SecureTokenService>(
      new SecureTokenService(std::move(APIKey), std::move(accessToken), accessTokenExpirationDate,
                             std::move(refreshToken), {}));
}

std::shared_ptr<SecureTokenService> SecureTokenService::createWithAuthorizationCode(
    std::string APIKey, std::string authorizationCode) {
  return std::shared_ptr<SecureTokenService>(new SecureTokenService(
      std::move(APIKey), {}, std::nullopt, {}, std::move(authorizationCode)));
}

std::shared_ptr<SecureTokenService> SecureTokenService::fromArchive(const Value& archive) {
  const std::string* APIKey = archive[kAPIKeyKey].getString();
  const std::string* refreshToken = archive[kRefreshTokenKey].getString();
  const Value& accessToken = archive[kAccessTokenKey];
  const Value& expiry = archive[kExpirationDateKey];
  if (!APIKey || !refreshToken || !(accessToken.isNull() || accessToken.isString()) ||
      !(expiry.isNull() || expiry.isNumber())) {
    return nullptr;
  }
  return create(*APIKey, accessToken.isString() ? accessToken.asString() : std::string(),
                expiry.getDouble(), *refreshToken);
}

Value SecureTokenService::archive() const {
  std::lock_guard lock(mutex_);
  Value::Map map{{kAPIKeyKey, Value(APIKey_)}, {kRefreshTokenKey, Value(refreshToken_)}};
  if (!accessToken_.empty()) map[kAccessTokenKey] = Value(accessToken_);
  if (accessTokenExpirationDate_) map[kExpirationDateKey] = Value(*accessTokenExpirationDate_);
  return map;
}

bool SecureTokenService::hasValidAccessToken() const {
  std::lock_guard lock(mutex_);
  return !accessToken_.empty() && accessTokenExpirationDate_ &&
         *accessTokenExpirationDate_ - platform::wallClockSeconds() > kTokenRefreshHeadStartSeconds;
}

std::string SecureTokenService::rawAccessToken() const {
  std::lock_guard lock(mutex_);
  return accessToken_;
}

std::string SecureTokenService::refreshToken() const {
  std::lock_guard lock(mutex_);
  return refreshToken_;
}

std::optional<double> SecureTokenService::accessTokenExpirationDate() const {
  std::lock_guard lock(mutex_);
  return accessTokenExpirationDate_;
}

void SecureTokenService::fetchAccessTokenForcingRefresh(bool forceRefresh, TokenCallback callback) {
  taskQueue_->enqueueTask([self = shared_from_this(), forceRefresh,
                           callback = std::move(callback)](SerialTaskQueue::Completion complete) {
    if (!forceRefresh && self->hasValidAccessToken()) {
      complete();
      return callback(self->rawAccessToken(), nullptr, false);
    }
    self->requestAccessToken(
        [complete, callback](std::optional<std::string> token, ErrorPtr error, bool tokensChanged) {
          complete();
          callback(std::move(token), std::move(error), tokensChanged);
        });
  });
}

void SecureTokenService::requestAccessToken(TokenCallback callback) {
  const std::string refresh = refreshToken();
  SecureTokenRequest request =
      refresh.empty() ? SecureTokenRequest::authCodeRequest(authorizationCode_, APIKey_)
                      : SecureTokenRequest::refreshRequest(refresh, APIKey_);
  AuthBackend::secureToken(
      request, [self = shared_from_this(), callback = std::move(callback)](
                   std::shared_ptr<SecureTokenResponse> response, ErrorPtr error) {
        if (error) return callback(std::nullopt, error, false);
        bool tokensChanged = false;
        {
          std::lock_guard lock(self->mutex_);
          if (!response->accessToken.empty()) {
            tokensChanged = response->accessToken != self->accessToken_;
            self->accessToken_ = response->accessToken;
            // A repeated access token still takes the new expiry: the server has just vouched for
            // it again, and keeping the old date would have the next fetch exchange it at once.
            self->accessTokenExpirationDate_ = response->approximateExpirationDate;
          }
          if (!response->refreshToken.empty() && response->refreshToken != self->refreshToken_) {
            self->refreshToken_ = response->refreshToken;
            tokensChanged = true;
          }
        }
        callback(response->accessToken, nullptr, tokensChanged);
      });
}

}  // namespace dz::auth
