// The requests of the authentication server: the identity-toolkit calls
// ("https://<host>/identitykit/v3/relyingparty/<endpoint>?key=<API key>") and the token call
// ("https://<host>/v1/token?key=<API key>"). Body members marked "when set" are left out when
// empty (a string), false (a boolean: false is never sent) or empty (a list). Value objects.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/rpc/auth_rpc.h"

namespace dz::auth {

class IdentityKitRequest : public AuthRPCRequest {
 public:
  IdentityKitRequest(std::string endpoint, std::string APIKey)
      : endpoint_(std::move(endpoint)), APIKey_(std::move(APIKey)) {}

  const std::string& endpoint() const { return endpoint_; }
  const std::string& APIKey() const { return APIKey_; }
  // The API key is percent-encoded: a key holding "&" or "#" cannot change the query.
  std::string requestURL() const override;

  // The host (and optional port) of the identity-toolkit endpoints, one per process.
  static std::string host();
  static void setHost(std::string host);

 private:
  std::string endpoint_;
  std::string APIKey_;
};

struct CreateAuthURIRequest : IdentityKitRequest {
  CreateAuthURIRequest(std::string identifier, std::string continueURI, std::string APIKey);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string identifier;
  std::string continueURI;
  std::string openIDRealm;
  std::string providerID;
  std::string clientID;
  std::string context;
  std::string appID;
};

struct DeleteAccountRequest : IdentityKitRequest {
  DeleteAccountRequest(std::string APIKey, std::string localID, std::string accessToken);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string localID;
  std::string accessToken;
};

struct GetAccountInfoRequest : IdentityKitRequest {
  GetAccountInfoRequest(std::string APIKey, std::string accessToken);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string accessToken;
};

enum class OOBRequestType { kPasswordReset = 0, kVerifyEmail = 1 };

struct GetOOBConfirmationCodeRequest : IdentityKitRequest {
  GetOOBConfirmationCodeRequest(OOBRequestType requestType, std::string email,
                                std::string accessToken, std::string APIKey);
  static GetOOBConfirmationCodeRequest passwordResetRequest(std::string email, std::string APIKey);
  static GetOOBConfirmationCodeRequest verifyEmailRequest(std::string accessToken,
                                                          std::string APIKey);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  OOBRequestType requestType;
  std::string email;
  std::string accessToken;
};

struct SetAccountInfoRequest : IdentityKitRequest {
  explicit SetAccountInfoRequest(std::string APIKey);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string accessToken;
  std::string displayName;
  std::string localID;
  // Given (even empty) or not: an empty e-mail or password is sent for the server to refuse.
  std::optional<std::string> email;
  std::string photoURL;
  std::optional<std::string> password;
  std::vector<std::string> providers;
  std::string OOBCode;
  bool emailVerified = false;
  bool upgradeToFederatedLogin = false;
  std::string captchaChallenge;
  std::string captchaResponse;
  std::vector<std::string> deleteAttributes;
  std::vector<std::string> deleteProviders;
  bool returnSecureToken = true;
};

// The attribute names of SetAccountInfoRequest::deleteAttributes.
inline constexpr char kDeleteAttributePassword[] = "PASSWORD";
inline constexpr char kDeleteAttributeDisplayName[] = "DISPLAY_NAME";
inline constexpr char kDeleteAttributePhotoURL[] = "PHOTO_URL";

struct SignUpNewUserRequest : IdentityKitRequest {
  explicit SignUpNewUserRequest(std::string APIKey);
  SignUpNewUserRequest(std::string APIKey, std::string email, std::string password,
                       std::string displayName);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  // None for an anonymous account; an empty one is sent for the server to refuse.
  std::optional<std::string> email;
  std::optional<std::string> password;
  std::string displayName;
  bool returnSecureToken = true;
};

// Why a verify-assertion body without provider tokens cannot be built.
inline constexpr char kMissingProviderTokenReason[] =
    "Either IDToken or accessToken must be supplied.";

struct VerifyAssertionRequest : IdentityKitRequest {
  VerifyAssertionRequest(std::string APIKey, std::string providerID);
  // Fails (an encoding error) when neither provider token is set.
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string providerID;
  std::string requestURI;  // not sent; the body names the loopback URI
  std::string pendingIDToken;
  std::string accessToken;
  std::string providerIDToken;
  std::string providerAccessToken;
  std::string providerOAuthTokenSecret;
  std::string inputEmail;
  bool returnSecureToken = true;
};

struct VerifyCustomTokenRequest : IdentityKitRequest {
  VerifyCustomTokenRequest(std::string token, std::string APIKey);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string token;
  bool returnSecureToken = true;
};

struct VerifyPasswordRequest : IdentityKitRequest {
  VerifyPasswordRequest(std::string email, std::string password, std::string APIKey);
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  std::string email;
  std::string password;
  std::string pendingIDToken;
  std::string captchaChallenge;
  std::string captchaResponse;
  bool returnSecureToken = true;
};

enum class SecureTokenGrantType { kAuthorizationCode = 0, kRefreshToken = 1 };

struct SecureTokenRequest : AuthRPCRequest {
  SecureTokenRequest(SecureTokenGrantType grantType, std::string scope, std::string refreshToken,
                     std::string code, std::string APIKey);
  static SecureTokenRequest authCodeRequest(std::string code, std::string APIKey);
  static SecureTokenRequest refreshRequest(std::string refreshToken, std::string APIKey);
  static std::string grantTypeString(SecureTokenGrantType grantType);

  std::string requestURL() const override;
  std::optional<Value::Map> unencodedHTTPRequestBody(ErrorPtr& error) const override;

  static std::string host();
  static void setHost(std::string host);

  SecureTokenGrantType grantType;
  std::string scope;
  std::string refreshToken;
  std::string code;
  std::string APIKey;
};

}  // namespace dz::auth
