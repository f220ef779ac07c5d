#include "auth/rpc/requests.h"

#include <mutex>

#include "auth/auth_errors.h"
#include "toolbox/url_arguments.h"

namespace dz::auth {
namespace {

constexpr char kIdentityKitURLFormatPrefix[] = "https://";
constexpr char kIdentityKitPath[] = "/identitykit/v3/relyingparty/";
constexpr char kTokenPath[] = "/v1/token";
constexpr char kKeyQuery[] = "?key=";
constexpr char kDefaultIdentityKitHost[] = "auth.vivuro.com";
constexpr char kDefaultTokenHost[] = "token.vivuro.com";
constexpr char kLoopbackRequestURI[] = "http://localhost";
constexpr char kRelyingPartyKind[] = "identitykit#relyingparty";

struct Hosts {
  std::mutex mutex;
  std::string identityKit = kDefaultIdentityKitHost;
  std::string token = kDefaultTokenHost;
};

Hosts& hosts() {
  static auto* instance = new Hosts;
  return *instance;
}

// The body being built: members "when set" are skipped when empty, false or not given.
class Body {
 public:
  Body& required(const char* key, const std::string& value) {
    map_[key] = Value(value);
    return *this;
  }
  Body& whenSet(const char* key, const std::string& value) {
    if (!value.empty()) map_[key] = Value(value);
    return *this;
  }
  Body& whenSet(const char* key, const std::optional<std::string>& value) {
    if (value) map_[key] = Value(*value);
    return *this;
  }
  Body& whenSet(const char* key, bool value) {
    if (value) map_[key] = Value(true);
    return *this;
  }
  Body& whenSet(const char* key, const std::vector<std::string>& values) {
    if (values.empty()) return *this;
    Value::Array array(values.begin(), values.end());
    map_[key] = Value(std::move(array));
    return *this;
  }
  Value::Map take() { return std::move(map_); }

 private:
  Value::Map map_;
};

}  // namespace

std::string IdentityKitRequest::requestURL() const {
  return kIdentityKitURLFormatPrefix + host() + kIdentityKitPath + endpoint_ + kKeyQuery +
         toolbox::stringByEscapingForURLArgument(APIKey_);
}

std::string IdentityKitRequest::host() {
  std::lock_guard lock(hosts().mutex);
  return hosts().identityKit;
}

void IdentityKitRequest::setHost(std::string host) {
  std::lock_guard lock(hosts().mutex);
  hosts().identityKit = std::move(host);
}

CreateAuthURIRequest::CreateAuthURIRequest(std::string identifier, std::string continueURI,
                                           std::string APIKey)
    : IdentityKitRequest("createAuthUri", std::move(APIKey)),
      identifier(std::move(identifier)),
      continueURI(std::move(continueURI)) {}

std::optional<Value::Map> CreateAuthURIRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body()
      .required("identifier", identifier)
      .required("continueUri", continueURI)
      .whenSet("providerId", providerID)
      .whenSet("openidRealm", openIDRealm)
      .whenSet("clientId", clientID)
      .whenSet("context", context)
      .whenSet("appId", appID)
      .take();
}

DeleteAccountRequest::DeleteAccountRequest(std::string APIKey, std::string localID,
                                           std::string accessToken)
    : IdentityKitRequest("deleteAccount", std::move(APIKey)),
      localID(std::move(localID)),
      accessToken(std::move(accessToken)) {}

std::optional<Value::Map> DeleteAccountRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body().required("idToken", accessToken).required("localId", localID).take();
}

GetAccountInfoRequest::GetAccountInfoRequest(std::string APIKey, std::string accessToken)
    : IdentityKitRequest("getAccountInfo", std::move(APIKey)),
      accessToken(std::move(accessToken)) {}

std::optional<Value::Map> GetAccountInfoRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body().required("idToken", accessToken).take();
}

GetOOBConfirmationCodeRequest::GetOOBConfirmationCodeRequest(OOBRequestType requestType,
                                                             std::string email,
                                                             std::string accessToken,
                                                             std::string APIKey)
    : IdentityKitRequest("getOobConfirmationCode", std::move(APIKey)),
      requestType(requestType),
      email(std::move(email)),
      accessToken(std::move(accessToken)) {}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::passwordResetRequest(
    std::string email, std::string APIKey) {
  return {OOBRequestType::kPasswordReset, std::move(email), {}, std::move(APIKey)};
}

GetOOBConfirmationCodeRequest GetOOBConfirmationCodeRequest::verifyEmailRequest(
    std::string accessToken, std::string APIKey) {
  return {OOBRequestType::kVerifyEmail, {}, std::move(accessToken), std::move(APIKey)};
}

std::optional<Value::Map> GetOOBConfirmationCodeRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  Body body;
  body.required("kind", kRelyingPartyKind);
  if (requestType == OOBRequestType::kPasswordReset) {
    body.required("requestType", "PASSWORD_RESET").required("email", email);
  } else {
    body.required("requestType", "VERIFY_EMAIL").required("idToken", accessToken);
  }
  return body.take();
}

SetAccountInfoRequest::SetAccountInfoRequest(std::string APIKey)
    : IdentityKitRequest("setAccountInfo", std::move(APIKey)) {}

std::optional<Value::Map> SetAccountInfoRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body()
      .whenSet("idToken", accessToken)
      .whenSet("displayName", displayName)
      .whenSet("localId", localID)
      .whenSet("email", email)
      .whenSet("password", password)
      .whenSet("photoUrl", photoURL)
      .whenSet("provider", providers)
      .whenSet("oobCode", OOBCode)
      .whenSet("emailVerified", emailVerified)
      .whenSet("upgradeToFederatedLogin", upgradeToFederatedLogin)
      .whenSet("captchaChallenge", captchaChallenge)
      .whenSet("captchaResponse", captchaResponse)
      .whenSet("deleteAttribute", deleteAttributes)
      .whenSet("deleteProvider", deleteProviders)
      .whenSet("returnSecureToken", returnSecureToken)
      .take();
}

SignUpNewUserRequest::SignUpNewUserRequest(std::string APIKey)
    : IdentityKitRequest("signupNewUser", std::move(APIKey)) {}

SignUpNewUserRequest::SignUpNewUserRequest(std::string APIKey, std::string email,
                                           std::string password, std::string displayName)
    : IdentityKitRequest("signupNewUser", std::move(APIKey)),
      email(std::move(email)),
      password(std::move(password)),
      displayName(std::move(displayName)) {}

std::optional<Value::Map> SignUpNewUserRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body()
      .whenSet("email", email)
      .whenSet("password", password)
      .whenSet("displayName", displayName)
      .whenSet("returnSecureToken", returnSecureToken)
      .take();
}

VerifyAssertionRequest::VerifyAssertionRequest(std::string APIKey, std::string providerID)
    : IdentityKitRequest("verifyAssertion", std::move(APIKey)), providerID(std::move(providerID)) {}

std::optional<Value::Map> VerifyAssertionRequest::unencodedHTTPRequestBody(ErrorPtr& error) const {
  if (providerIDToken.empty() && providerAccessToken.empty()) {
    error = std::make_shared<Error>(kAuthInternalErrorDomain, 0, kMissingProviderTokenReason);
    return std::nullopt;
  }
  std::map<std::string, std::string, std::less<>> postBody{{"providerId", providerID}};
  if (!providerIDToken.empty()) postBody["id_token"] = providerIDToken;
  if (!providerAccessToken.empty()) postBody["access_token"] = providerAccessToken;
  if (!providerOAuthTokenSecret.empty()) postBody["oauth_token_secret"] = providerOAuthTokenSecret;
  if (!inputEmail.empty()) postBody["identifier"] = inputEmail;
  return Body()
      .required("requestUri", kLoopbackRequestURI)
      .required("postBody", toolbox::httpArgumentsString(postBody))
      .whenSet("pendingIdToken", pendingIDToken)
      .whenSet("idToken", accessToken)
      .whenSet("returnSecureToken", returnSecureToken)
      .take();
}

VerifyCustomTokenRequest::VerifyCustomTokenRequest(std::string token, std::string APIKey)
    : IdentityKitRequest("verifyCustomToken", std::move(APIKey)), token(std::move(token)) {}

std::optional<Value::Map> VerifyCustomTokenRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body().required("token", token).whenSet("returnSecureToken", returnSecureToken).take();
}

VerifyPasswordRequest::VerifyPasswordRequest(std::string email, std::string password,
                                             std::string APIKey)
    : IdentityKitRequest("verifyPassword", std::move(APIKey)),
      email(std::move(email)),
      password(std::move(password)) {}

std::optional<Value::Map> VerifyPasswordRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  // An empty e-mail or password is still the caller's: the server refuses it.
  return Body()
      .required("email", email)
      .required("password", password)
      .whenSet("pendingIdToken", pendingIDToken)
      .whenSet("captchaChallenge", captchaChallenge)
      .whenSet("captchaResponse", captchaResponse)
      .whenSet("returnSecureToken", returnSecureToken)
      .take();
}

SecureTokenRequest::SecureTokenRequest(SecureTokenGrantType grantType, std::string scope,
                                       std::string refreshToken, std::string code,
                                       std::string APIKey)
    : grantType(grantType),
      scope(std::move(scope)),
      refreshToken(std::move(refreshToken)),
      code(std::move(code)),
      APIKey(std::move(APIKey)) {}

SecureTokenRequest SecureTokenRequest::authCodeRequest(std::string code, std::string APIKey) {
  return {SecureTokenGrantType::kAuthorizationCode, {}, {}, std::move(code), std::move(APIKey)};
}

SecureTokenRequest SecureTokenRequest::refreshRequest(std::string refreshToken,
                                                      std::string APIKey) {
  return {SecureTokenGrantType::kRefreshToken, {}, std::move(refreshToken), {}, std::move(APIKey)};
}

std::string SecureTokenRequest::grantTypeString(SecureTokenGrantType grantType) {
  return grantType == SecureTokenGrantType::kAuthorizationCode ? "authorization_code"
                                                               : "refresh_token";
}

std::string SecureTokenRequest::requestURL() const {
  return kIdentityKitURLFormatPrefix + host() + kTokenPath + kKeyQuery +
         toolbox::stringByEscapingForURLArgument(APIKey);
}

std::optional<Value::Map> SecureTokenRequest::unencodedHTTPRequestBody(ErrorPtr&) const {
  return Body()
      .required("grantType", grantTypeString(grantType))
      .whenSet("scope", scope)
      .whenSet("refreshToken", refreshToken)
      .whenSet("code", code)
      .take();
}

std::string SecureTokenRequest::host() {
  std::lock_guard lock(hosts().mutex);
  return hosts().token;
}

void SecureTokenRequest::setHost(std::string host) {
  std::lock_guard lock(hosts().mutex);
  hosts().token = std::move(host);
}

}  // namespace dz::auth
