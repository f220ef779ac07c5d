#include "auth/rpc/auth_backend.h"

#include <cmath>
#include <mutex>

#include "auth/auth_errors.h"
#include "auth/serial_task_queue.h"
#include "platform/bundle.h"
#include "toolbox/user_agent.h"

namespace dz::auth {
namespace {

constexpr char kJSONContentType[] = "application/json";
constexpr char kUserAgentFormatPrefix[] = "DezuvuraAuth.iOS/";
constexpr char kBundleIdentifierHeader[] = "X-Ios-Bundle-Identifier";
constexpr char kContentTypeHeader[] = "Content-Type";
constexpr char kAcceptLanguageHeader[] = "Accept-Language";
constexpr char kErrorMember[] = "error";
constexpr char kMessageMember[] = "message";
constexpr char kErrorsMember[] = "errors";
constexpr char kReasonMember[] = "reason";
constexpr char kKindMember[] = "kind";
constexpr char kTooManyAttemptsPrefix[] = "TOO_MANY_ATTEMPTS_TRY_LATER";

bool encodable(const Value& value) {
  if (value.isDouble()) return std::isfinite(value.asDouble());
  if (const Value::Array* array = value.getArray()) {
    for (const Value& element : *array) {
      if (!encodable(element)) return false;
    }
  }
  if (const Value::Map* map = value.getMap()) {
    for (const auto& [key, member] : *map) {
      if (!encodable(member)) return false;
    }
  }
  return true;
}

struct Implementation {
  std::mutex mutex;
  std::shared_ptr<AuthBackendImplementation> current;
};

Implementation& implementationSlot() {
  static auto* slot = new Implementation;
  return *slot;
}

}  // namespace

AuthBackendRPCIssuerImplementation::AuthBackendRPCIssuerImplementation()
    : fetcherService_(toolbox::SessionFetcherService::create()) {
  fetcherService_->setUserAgent(std::string(kUserAgentFormatPrefix) + kAuthLibraryVersion + " " +
                                toolbox::fetcherUserAgentForBundle());
  fetcherService_->setCallbackQueue(globalWorkQueue());
}

void AuthBackendRPCIssuerImplementation::asyncPostToURL(const std::string& url, std::string body,
                                                        const std::string& contentType,
                                                        Completion completion) {
  const platform::Bundle& bundle = platform::Bundle::main();
  toolbox::URLRequest request{.url = url,
                              .method = {},
                              .headers = {{kContentTypeHeader, contentType},
                                          {kBundleIdentifierHeader, bundle.bundleIdentifier()}}};
  // The server writes the mails it sends for the account (password reset, verification) in it.
  std::vector<std::string> localizations = bundle.preferredLocalizations();
  if (!localizations.empty()) request.headers.emplace_back(kAcceptLanguageHeader, localizations[0]);
  auto fetcher = fetcherService_->fetcherWithRequest(std::move(request));
  fetcher->setBodyData(std::move(body));
  fetcher->beginFetch(std::move(completion));
}

AuthBackendRPCImplementation::AuthBackendRPCImplementation(
    std::shared_ptr<AuthBackendRPCIssuer> issuer)
    : issuer_(issuer ? std::move(issuer) : std::make_shared<AuthBackendRPCIssuerImplementation>()) {
}

ErrorPtr AuthBackendRPCImplementation::clientErrorWithServerErrorMessage(
    const std::string& message, const Value::Map& errorDictionary) {
  if (message == "USER_NOT_FOUND" || message == "INVALID_LOCAL_ID") {
    return errors::userNotFoundError();
  }
  if (message == "TOKEN_EXPIRED") return errors::userTokenExpiredError();
  if (message.rfind(kTooManyAttemptsPrefix, 0) == 0) return errors::tooManyRequestsError();
  auto found = errorDictionary.find(kErrorsMember);
  const Value::Array* entries = found == errorDictionary.end() ? nullptr : found->second.getArray();
  if (!entries) return nullptr;
  for (const Value& entry : *entries) {
    const std::string* reason = entry[kReasonMember].getString();
    if (!entry.isMap() || !reason) continue;
    if (*reason == "keyInvalid") return errors::invalidAPIKeyError();
    if (*reason == "ipRefererBlocked") return errors::appNotAuthorizedError();
  }
  return nullptr;
}

void AuthBackendRPCImplementation::postWithRequest(const AuthRPCRequest& request,
                                                   std::shared_ptr<AuthRPCResponse> response,
                                                   std::function<void(ErrorPtr)> callback) {
  ErrorPtr encodingError;
  std::optional<Value::Map> body = request.unencodedHTTPRequestBody(encodingError);
  if (!body) return callback(errors::rpcRequestEncodingError(encodingError));
  Value json(std::move(*body));
  if (!encodable(json)) return callback(errors::jsonSerializationErrorForUnencodableType());
  issuer_->asyncPostToURL(
      request.requestURL(), json.toJsonString(), kJSONContentType,
      [response = std::move(response), callback = std::move(callback)](
          std::optional<std::string> data, ErrorPtr error) {
        if (!data) return callback(errors::networkError(error));
        std::optional<Value> decoded = Value::parseJson(*data);
        if (!decoded) {
          auto decodingError =
              std::make_shared<Error>(kAuthInternalErrorDomain, 0, "the answer is not JSON");
          return callback(error ? errors::unexpectedErrorResponse(*data, error)
                                : errors::unexpectedResponse(*data, decodingError));
        }
        const Value::Map* answer = decoded->getMap();
        if (!answer) {
          return callback(error ? errors::unexpectedErrorResponse(*decoded)
                                : errors::unexpectedResponse(*decoded));
        }
        if (error) {
          const Value& errorMember = (*decoded)[kErrorMember];
          const Value::Map* errorDictionary = errorMember.getMap();
          const Value* message = errorDictionary ? errorMember.find(kMessageMember) : nullptr;
          if (!message) return callback(errors::unexpectedErrorResponse(*decoded));
          if (const std::string* text = message->getString()) {
            ErrorPtr mapped = clientErrorWithServerErrorMessage(*text, *errorDictionary);
            if (!mapped) mapped = response->clientErrorWithServerErrorMessage(*text);
            if (mapped) return callback(mapped);
          }
          return callback(errors::unexpectedErrorResponse(errorMember));
        }
        if (std::optional<std::string> kind = response->expectedKind()) {
          const std::string* received = (*decoded)[kKindMember].getString();
          if (!received || *received != *kind) {
            return callback(errors::unexpectedResponse(*decoded));
          }
        }
        if (ErrorPtr fillError = response->setWithDictionary(*answer)) {
          return callback(errors::rpcResponseDecodingError(*decoded, fillError));
        }
        callback(nullptr);
      });
}

template <typename Response>
void AuthBackendRPCImplementation::call(const AuthRPCRequest& request,
                                        ResponseCallback<Response> callback) {
  auto response = std::make_shared<Response>();
  postWithRequest(request, response, [response, callback = std::move(callback)](ErrorPtr error) {
    if (error) return callback(nullptr, error);
    callback(response, nullptr);
  });
}

void AuthBackendRPCImplementation::createAuthURI(const CreateAuthURIRequest& request,
                                                 ResponseCallback<CreateAuthURIResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::getAccountInfo(
    const GetAccountInfoRequest& request, ResponseCallback<GetAccountInfoResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::setAccountInfo(
    const SetAccountInfoRequest& request, ResponseCallback<SetAccountInfoResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::verifyAssertion(
    const VerifyAssertionRequest& request, ResponseCallback<VerifyAssertionResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::verifyCustomToken(
    const VerifyCustomTokenRequest& request, ResponseCallback<VerifyCustomTokenResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::verifyPassword(
    const VerifyPasswordRequest& request, ResponseCallback<VerifyPasswordResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::secureToken(const SecureTokenRequest& request,
                                               ResponseCallback<SecureTokenResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::getOOBConfirmationCode(
    const GetOOBConfirmationCodeRequest& request,
    ResponseCallback<GetOOBConfirmationCodeResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::signUpNewUser(const SignUpNewUserRequest& request,
                                                 ResponseCallback<SignUpNewUserResponse> callback) {
  call(request, std::move(callback));
}
void AuthBackendRPCImplementation::deleteAccount(const DeleteAccountRequest& request,
                                                 DeleteAccountCallback callback) {
  postWithRequest(request, std::make_shared<DeleteAccountResponse>(), std::move(callback));
}

std::shared_ptr<AuthBackendImplementation> AuthBackend::implementation() {
  Implementation& slot = implementationSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.current) slot.current = std::make_shared<AuthBackendRPCImplementation>();
  return slot.current;
}

void AuthBackend::setBackendImplementation(
    std::shared_ptr<AuthBackendImplementation> implementation) {
  Implementation& slot = implementationSlot();
  std::lock_guard lock(slot.mutex);
  slot.current = std::move(implementation);
}

void AuthBackend::setDefaultBackendImplementationWithRPCIssuer(
    std::shared_ptr<AuthBackendRPCIssuer> issuer) {
  setBackendImplementation(std::make_shared<AuthBackendRPCImplementation>(std::move(issuer)));
}

void AuthBackend::createAuthURI(const CreateAuthURIRequest& request,
                                ResponseCallback<CreateAuthURIResponse> callback) {
  implementation()->createAuthURI(request, std::move(callback));
}
void AuthBackend::getAccountInfo(const GetAccountInfoRequest& request,
                                 ResponseCallback<GetAccountInfoResponse> callback) {
  implementation()->getAccountInfo(request, std::move(callback));
}
void AuthBackend::setAccountInfo(const SetAccountInfoRequest& request,
                                 ResponseCallback<SetAccountInfoResponse> callback) {
  implementation()->setAccountInfo(request, std::move(callback));
}
void AuthBackend::verifyAssertion(const VerifyAssertionRequest& request,
                                  ResponseCallback<VerifyAssertionResponse> callback) {
  implementation()->verifyAssertion(request, std::move(callback));
}
void AuthBackend::verifyCustomToken(const VerifyCustomTokenRequest& request,
                                    ResponseCallback<VerifyCustomTokenResponse> callback) {
  implementation()->verifyCustomToken(request, std::move(callback));
}
void AuthBackend::verifyPassword(const VerifyPasswordRequest& request,
                                 ResponseCallback<VerifyPasswordResponse> callback) {
  implementation()->verifyPassword(request, std::move(callback));
}
void AuthBackend::secureToken(const SecureTokenRequest& request,
                              ResponseCallback<SecureTokenResponse> callback) {
  implementation()->secureToken(request, std::move(callback));
}
void AuthBackend::getOOBConfirmationCode(
    const GetOOBConfirmationCodeRequest& request,
    ResponseCallback<GetOOBConfirmationCodeResponse> callback) {
  implementation()->getOOBConfirmationCode(request, std::move(callback));
}
void AuthBackend::signUpNewUser(const SignUpNewUserRequest& request,
                                ResponseCallback<SignUpNewUserResponse> callback) {
  implementation()->signUpNewUser(request, std::move(callback));
}
void AuthBackend::deleteAccount(const DeleteAccountRequest& request,
                                DeleteAccountCallback callback) {
  implementation()->deleteAccount(request, std::move(callback));
}

}  // namespace dz::auth
