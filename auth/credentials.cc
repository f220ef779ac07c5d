#include "auth/credentials.h"

#include "platform/exception.h"

namespace dz::auth {
namespace {

constexpr char kMethodNotImplementedException[] = "DZMethodNotImplementedException";

void require(const std::string& value, const char* what) {
  if (value.empty()) {
    throw Exception(kInvalidArgumentException, std::string(what) + " must not be empty.");
  }
}

}  // namespace

EmailPasswordAuthCredential::EmailPasswordAuthCredential(std::string email, std::string password)
    : AuthCredential(kEmailPasswordProviderID),
      email_(std::move(email)),
      password_(std::move(password)) {}

void EmailPasswordAuthCredential::prepareVerifyAssertionRequest(VerifyAssertionRequest&) const {
  throw Exception(kMethodNotImplementedException,
                  "Attempt to call prepareVerifyAssertionRequest: on a "
                  "DZEmailPasswordAuthCredential.");
}

ProviderTokenAuthCredential::ProviderTokenAuthCredential(std::string provider, std::string IDToken,
                                                         std::string accessToken,
                                                         std::string secret)
    : AuthCredential(std::move(provider)),
      IDToken_(std::move(IDToken)),
      accessToken_(std::move(accessToken)),
      secret_(std::move(secret)) {
  if (IDToken_.empty() && accessToken_.empty()) {
    throw Exception(kInvalidArgumentException, kMissingProviderTokenReason);
  }
}

void ProviderTokenAuthCredential::prepareVerifyAssertionRequest(
    VerifyAssertionRequest& request) const {
  if (!IDToken_.empty()) request.providerIDToken = IDToken_;
  request.providerAccessToken = accessToken_;
  if (!secret_.empty()) request.providerOAuthTokenSecret = secret_;
}

AuthCredentialPtr EmailPasswordAuthProvider::credential(std::string email, std::string password) {
  require(email, "The email");
  require(password, "The password");
  return std::make_shared<EmailPasswordAuthCredential>(std::move(email), std::move(password));
}

AuthCredentialPtr FacebookAuthProvider::credential(std::string accessToken) {
  require(accessToken, "The access token");
  return std::make_shared<ProviderTokenAuthCredential>(kFacebookProviderID, "",
                                                       std::move(accessToken), "");
}

AuthCredentialPtr GitHubAuthProvider::credential(std::string token) {
  require(token, "The token");
  return std::make_shared<ProviderTokenAuthCredential>(kGitHubProviderID, "", std::move(token), "");
}

AuthCredentialPtr VivuroAuthProvider::credential(std::string IDToken, std::string accessToken) {
  return std::make_shared<ProviderTokenAuthCredential>(kVivuroProviderID, std::move(IDToken),
                                                       std::move(accessToken), "");
}

AuthCredentialPtr TwitterAuthProvider::credential(std::string token, std::string secret) {
  require(token, "The token");
  return std::make_shared<ProviderTokenAuthCredential>(kTwitterProviderID, "", std::move(token),
                                                       std::move(secret));
}

}  // namespace dz::auth
