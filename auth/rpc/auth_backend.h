// AuthBackend: carries every call of authentication to the authentication server. A request's
// body goes out as JSON through the session fetcher; the answer comes back decoded into the
// endpoint's response, or as an error of auth_errors.h (server messages mapped, transport
// failures as network errors, everything else internal). The process-wide implementation is
// replaceable (tests install fakes); it is made on first use.
//
// Calls may start on any thread. Encoding failures are reported before the call returns, on the
// calling thread; every other outcome arrives on the authentication global work queue. Each
// callback runs once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "auth/rpc/requests.h"
#include "auth/rpc/responses.h"
#include "toolbox/session_fetcher.h"

namespace dz::auth {

// The authentication library's version, sent in the user agent.
inline constexpr char kAuthLibraryVersion[] = "3.0.6";

template <typename Response>
using ResponseCallback = std::function<void(std::shared_ptr<Response> response, ErrorPtr error)>;
using DeleteAccountCallback = std::function<void(ErrorPtr error)>;

class AuthBackendImplementation {
 public:
  virtual ~AuthBackendImplementation() = default;
  virtual void createAuthURI(const CreateAuthURIRequest& request,
                             ResponseCallback<CreateAuthURIResponse> callback) = 0;
  virtual void getAccountInfo(const GetAccountInfoRequest& request,
                              ResponseCallback<GetAccountInfoResponse> callback) = 0;
  virtual void setAccountInfo(const SetAccountInfoRequest& request,
                              ResponseCallback<SetAccountInfoResponse> callback) = 0;
  virtual void verifyAssertion(const VerifyAssertionRequest& request,
                               ResponseCallback<VerifyAssertionResponse> callback) = 0;
  virtual void verifyCustomToken(const VerifyCustomTokenRequest& request,
                                 ResponseCallback<VerifyCustomTokenResponse> callback) = 0;
  virtual void verifyPassword(const VerifyPasswordRequest& request,
                              ResponseCallback<VerifyPasswordResponse> callback) = 0;
  virtual void secureToken(const SecureTokenRequest& request,
                           ResponseCallback<SecureTokenResponse> callback) = 0;
  virtual void getOOBConfirmationCode(
      const GetOOBConfirmationCodeRequest& request,
      ResponseCallback<GetOOBConfirmationCodeResponse> callback) = 0;
  virtual void signUpNewUser(const SignUpNewUserRequest& request,
                             ResponseCallback<SignUpNewUserResponse> callback) = 0;
  virtual void deleteAccount(const DeleteAccountRequest& request,
                             DeleteAccountCallback callback) = 0;
};

// Posts bodies: (answer body or none, error or none), on the work queue.
class AuthBackendRPCIssuer {
 public:
  using Completion = std::function<void(std::optional<std::string> data, ErrorPtr error)>;
  virtual ~AuthBackendRPCIssuer() = default;
  virtual void asyncPostToURL(const std::string& url, std::string body,
                              const std::string& contentType, Completion completion) = 0;
};

// The issuer over one session fetcher service for the whole process: user agent
// "DezuvuraAuth.iOS/<version> <standard user agent>", answers on the global work queue.
class AuthBackendRPCIssuerImplementation : public AuthBackendRPCIssuer {
 public:
  AuthBackendRPCIssuerImplementation();
  void asyncPostToURL(const std::string& url, std::string body, const std::string& contentType,
                      Completion completion) override;
  const toolbox::SessionFetcherServicePtr& fetcherService() const { return fetcherService_; }

 private:
  toolbox::SessionFetcherServicePtr fetcherService_;
};

class AuthBackendRPCImplementation : public AuthBackendImplementation {
 public:
  explicit AuthBackendRPCImplementation(std::shared_ptr<AuthBackendRPCIssuer> issuer = nullptr);

  void createAuthURI(const CreateAuthURIRequest& request,
                     ResponseCallback<CreateAuthURIResponse> callback) override;
  void getAccountInfo(const GetAccountInfoRequest& request,
                      ResponseCallback<GetAccountInfoResponse> callback) override;
  void setAccountInfo(const SetAccountInfoRequest& request,
                      ResponseCallback<SetAccountInfoResponse> callback) override;
  void verifyAssertion(const VerifyAssertionRequest& request,
                       ResponseCallback<VerifyAssertionResponse> callback) override;
  void verifyCustomToken(const VerifyCustomTokenRequest& request,
                         ResponseCallback<VerifyCustomTokenResponse> callback) override;
  void verifyPassword(const VerifyPasswordRequest& request,
                      ResponseCallback<VerifyPasswordResponse> callback) override;
  void secureToken(const SecureTokenRequest& request,
                   ResponseCallback<SecureTokenResponse> callback) override;
  void getOOBConfirmationCode(const GetOOBConfirmationCodeRequest& request,
                              ResponseCallback<GetOOBConfirmationCodeResponse> callback) override;
  void signUpNewUser(const SignUpNewUserRequest& request,
                     ResponseCallback<SignUpNewUserResponse> callback) override;
  void deleteAccount(const DeleteAccountRequest& request, DeleteAccountCallback callback) override;

  const std::shared_ptr<AuthBackendRPCIssuer>& RPCIssuer() const { return issuer_; }

  // The mapping of server messages shared by every endpoint; null when it has none.
  static ErrorPtr clientErrorWithServerErrorMessage(const std::string& message,
                                                    const Value::Map& errorDictionary);

  // One call: encodes, posts, decodes and maps. `callback` gets null on success.
  void postWithRequest(const AuthRPCRequest& request, std::shared_ptr<AuthRPCResponse> response,
                       std::function<void(ErrorPtr)> callback);

 private:
  template <typename Response>
  void call(const AuthRPCRequest& request, ResponseCallback<Response> callback);

  std::shared_ptr<AuthBackendRPCIssuer> issuer_;
};

class AuthBackend {
 public:
  AuthBackend() = delete;

  static std::shared_ptr<AuthBackendImplementation> implementation();
  static void setBackendImplementation(std::shared_ptr<AuthBackendImplementation> implementation);
  static void setDefaultBackendImplementationWithRPCIssuer(
      std::shared_ptr<AuthBackendRPCIssuer> issuer);

  static void createAuthURI(const CreateAuthURIRequest& request,
                            ResponseCallback<CreateAuthURIResponse> callback);
  static void getAccountInfo(const GetAccountInfoRequest& request,
                             ResponseCallback<GetAccountInfoResponse> callback);
  static void setAccountInfo(const SetAccountInfoRequest& request,
                             ResponseCallback<SetAccountInfoResponse> callback);
  static void verifyAssertion(const VerifyAssertionRequest& request,
                              ResponseCallback<VerifyAssertionResponse> callback);
  static void verifyCustomToken(const VerifyCustomTokenRequest& request,
                                ResponseCallback<VerifyCustomTokenResponse> callback);
  static void verifyPassword(const VerifyPasswordRequest& request,
                             ResponseCallback<VerifyPasswordResponse> callback);
  static void secureToken(const SecureTokenRequest& request,
                          ResponseCallback<SecureTokenResponse> callback);
  static void getOOBConfirmationCode(const GetOOBConfirmationCodeRequest& request,
                                     ResponseCallback<GetOOBConfirmationCodeResponse> callback);
  static void signUpNewUser(const SignUpNewUserRequest& request,
                            ResponseCallback<SignUpNewUserResponse> callback);
  static void deleteAccount(const DeleteAccountRequest& request, DeleteAccountCallback callback);
};

}  // namespace dz::auth
