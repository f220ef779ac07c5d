// The responses of the authentication server's calls. Each checks the answer's "kind" (the token
// answer has none), reads its members (one of the wrong type is left unset; only an unusable
// token or account identifier refuses the answer), and maps the endpoint's own error messages.
// Empty strings stand for absent members. Expiry dates are seconds since 1970, computed when the
// answer is read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/rpc/auth_rpc.h"

namespace dz::auth {

// The tokens a sign-in or account change returns.
struct IssuedTokens {
  // A sign-in needs its tokens (one of the wrong type refuses the answer); an account change
  // only takes them when they can be read.
  enum class TokenUse { kSignIn, kOptional };

  std::string IDToken;
  std::optional<double> approximateExpirationDate;
  std::string refreshToken;

  void read(ResponseReader& reader, TokenUse use);
};

struct CreateAuthURIResponse : AuthRPCResponse {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;

  std::string providerID;
  std::string authURI;
  bool registered = false;
  bool forExistingProvider = false;
  std::vector<std::string> allProviders;
};

struct DeleteAccountResponse : AuthRPCResponse {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map&) override { return nullptr; }
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;
};

struct GetAccountInfoResponseProviderUserInfo {
  explicit GetAccountInfoResponseProviderUserInfo(const ResponseReader& reader);
  std::string providerID;
  std::string displayName;
  std::string photoURL;
  std::string federatedID;
  std::string email;
};

struct GetAccountInfoResponseUser {
  explicit GetAccountInfoResponseUser(ResponseReader& reader);
  std::vector<GetAccountInfoResponseProviderUserInfo> providerUserInfo;
  std::string localID;
  std::string displayName;
  std::string email;
  std::string photoURL;
  bool emailVerified = false;
  std::string passwordHash;
};

struct GetAccountInfoResponse : AuthRPCResponse {
  std::optional<std::string> expectedKind() const override;
  // Requires "users" to hold exactly one user object with a non-empty "localId".
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;

  std::vector<GetAccountInfoResponseUser> users;
};

struct GetOOBConfirmationCodeResponse : AuthRPCResponse {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;

  std::string OOBCode;
};

struct SetAccountInfoResponseProviderUserInfo {
  std::string providerID;
  std::string displayName;
  std::string photoURL;
};

struct SetAccountInfoResponse : AuthRPCResponse, IssuedTokens {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;

  std::string email;
  std::string displayName;
  std::vector<SetAccountInfoResponseProviderUserInfo> providerUserInfo;
};

struct SignUpNewUserResponse : AuthRPCResponse, IssuedTokens {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;
};

struct VerifyAssertionResponse : AuthRPCResponse, IssuedTokens {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;

  std::string federatedID, providerID, localID;
  bool emailRecycled = false, emailVerified = false;
  std::string email, inputEmail, originalEmail, oauthRequestToken, oauthScope, firstName, lastName,
      fullName, nickName, displayName, action, language, timeZone, photoURL, dateOfBirth, context;
  bool needConfirmation = false;
  std::vector<std::string> verifiedProvider;
  // The answer as received, for the error that refuses an answer without a provider.
  Value::Map dictionary;
};

struct VerifyCustomTokenResponse : AuthRPCResponse, IssuedTokens {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;
};

struct VerifyPasswordResponse : AuthRPCResponse, IssuedTokens {
  std::optional<std::string> expectedKind() const override;
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;
  ErrorPtr clientErrorWithServerErrorMessage(const std::string& message) const override;

  std::string localID;
  std::string email;
  std::string displayName;
  std::string photoURL;
};

struct SecureTokenResponse : AuthRPCResponse {
  std::optional<std::string> expectedKind() const override { return std::nullopt; }
  // Requires a non-empty "access_token", a readable "refresh_token" and a valid "expires_in".
  ErrorPtr setWithDictionary(const Value::Map& dictionary) override;

  std::string refreshToken;
  std::string accessToken;
  std::string IDToken;
  std::optional<double> approximateExpirationDate;
};

}  // namespace dz::auth
