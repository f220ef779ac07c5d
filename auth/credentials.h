// Sign-in credentials of the identity providers and the providers that make them. Immutable
// values. An e-mail/password credential signs in through the password call; the others fill a
// verify-assertion request with their provider tokens.
#pragma once

#include <memory>
#include <string>

#include "auth/rpc/requests.h"

namespace dz::auth {

inline constexpr char kEmailPasswordProviderID[] = "password";
inline constexpr char kFacebookProviderID[] = "facebook.com";
inline constexpr char kGitHubProviderID[] = "github.com";
inline constexpr char kVivuroProviderID[] = "vivuro.com";
inline constexpr char kTwitterProviderID[] = "twitter.com";

class AuthCredential {
 public:
  virtual ~AuthCredential() = default;
  const std::string& provider() const { return provider_; }
  virtual void prepareVerifyAssertionRequest(VerifyAssertionRequest& request) const = 0;

 protected:
  explicit AuthCredential(std::string provider) : provider_(std::move(provider)) {}

 private:
  std::string provider_;
};
using AuthCredentialPtr = std::shared_ptr<const AuthCredential>;

class EmailPasswordAuthCredential : public AuthCredential {
 public:
  EmailPasswordAuthCredential(std::string email, std::string password);
  const std::string& email() const { return email_; }
  const std::string& password() const { return password_; }
  // Never used for that request: throws dz::Exception "DZMethodNotImplementedException".
  void prepareVerifyAssertionRequest(VerifyAssertionRequest& request) const override;

 private:
  std::string email_;
  std::string password_;
};

// A provider credential holding an access token (and, for some providers, an ID token or a token
// secret). Without both an ID token and an access token it throws dz::Exception
// kInvalidArgumentException: such a credential could never sign in.
class ProviderTokenAuthCredential : public AuthCredential {
 public:
  ProviderTokenAuthCredential(std::string provider, std::string IDToken, std::string accessToken,
                              std::string secret);
  const std::string& IDToken() const { return IDToken_; }
  const std::string& token() const { return accessToken_; }
  const std::string& secret() const { return secret_; }
  void prepareVerifyAssertionRequest(VerifyAssertionRequest& request) const override;

 private:
  std::string IDToken_;
  std::string accessToken_;
  std::string secret_;
};

// Factories only. They throw dz::Exception kInvalidArgumentException for empty required values,
// so a credential that could never sign in is refused where it is made.
struct EmailPasswordAuthProvider {
  EmailPasswordAuthProvider() = delete;
  static AuthCredentialPtr credential(std::string email, std::string password);
};
struct FacebookAuthProvider {
  FacebookAuthProvider() = delete;
  static AuthCredentialPtr credential(std::string accessToken);
};
struct GitHubAuthProvider {
  GitHubAuthProvider() = delete;
  static AuthCredentialPtr credential(std::string token);
};
struct VivuroAuthProvider {
  VivuroAuthProvider() = delete;
  static AuthCredentialPtr credential(std::string IDToken, std::string accessToken);
};
struct TwitterAuthProvider {
  TwitterAuthProvider() = delete;
  static AuthCredentialPtr credential(std::string token, std::string secret);
};

}  // namespace dz::auth
