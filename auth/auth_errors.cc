#include "auth/auth_errors.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace dz::auth {
namespace {

constexpr char kRedacted[] = "<redacted>";

struct PublicError {
  int64_t code;
  const char* name;
  const char* description;
};

constexpr std::array kPublicErrors = {
    PublicError{kInvalidCustomToken, "ERROR_INVALID_CUSTOM_TOKEN",
                "The custom token format is incorrect. Please check the documentation."},
    PublicError{kCustomTokenMismatch, "ERROR_CUSTOM_TOKEN_MISMATCH",
                "The custom token corresponds to a different audience."},
    PublicError{kInvalidCredential, "ERROR_INVALID_CREDENTIAL",
                "The supplied auth credential is malformed or has expired."},
    PublicError{kUserDisabled, "ERROR_USER_DISABLED",
                "The user account has been disabled by an administrator."},
    PublicError{kOperationNotAllowed, "ERROR_OPERATION_NOT_ALLOWED",
                "The given sign-in provider is disabled for this Dezuvura project. Enable it in "
                "the Dezuvura console, under the sign-in method tab of the Auth section."},
    PublicError{kEmailAlreadyInUse, "ERROR_EMAIL_ALREADY_IN_USE",
                "The email address is already in use by another account."},
    PublicError{kInvalidEmail, "ERROR_INVALID_EMAIL", "The email address is badly formatted."},
    PublicError{kWrongPassword, "ERROR_WRONG_PASSWORD",
                "The password is invalid or the user does not have a password."},
    PublicError{kTooManyRequests, "ERROR_TOO_MANY_REQUESTS",
                "We have blocked all requests from this device due to unusual activity. Try "
                "again later."},
    PublicError{kUserNotFound, "ERROR_USER_NOT_FOUND",
                "There is no user record corresponding to this identifier. The user may have "
                "been deleted."},
    PublicError{kAccountExistsWithDifferentCredential,
                "ERROR_ACCOUNT_EXISTS_WITH_DIFFERENT_CREDENTIAL",
                "An account already exists with the same email address but different sign-in "
                "credentials. Sign in using a provider associated with this email address."},
    PublicError{kRequiresRecentLogin, "ERROR_REQUIRES_RECENT_LOGIN",
                "This operation is sensitive and requires recent authentication. Log in again "
                "before retrying this request."},
    PublicError{kProviderAlreadyLinked, "ERROR_PROVIDER_ALREADY_LINKED",
                "[ERROR_PROVIDER_ALREADY_LINKED] - User can only be linked to one identity for "
                "the given provider."},
    PublicError{kNoSuchProvider, "ERROR_NO_SUCH_PROVIDER",
                "User was not linked to an account with the given provider."},
    PublicError{kInvalidUserToken, "ERROR_INVALID_USER_TOKEN",
                "The user's credential is no longer valid. The user must sign in again."},
    PublicError{kNetworkError, "ERROR_NETWORK_REQUEST_FAILED",
                "Network error (such as timeout, interrupted connection or unreachable host) has "
                "occurred."},
    PublicError{kUserTokenExpired, "ERROR_USER_TOKEN_EXPIRED",
                "The user's credential is no longer valid. The user must sign in again."},
    PublicError{kInvalidAPIKey, "ERROR_INVALID_API_KEY",
                "An invalid API Key was supplied in the request."},
    PublicError{kUserMismatch, "ERROR_USER_MISMATCH",
                "The supplied credentials do not correspond to the previously signed in user."},
    PublicError{kCredentialAlreadyInUse, "ERROR_CREDENTIAL_ALREADY_IN_USE",
                "This credential is already associated with a different user account."},
    PublicError{kWeakPassword, "ERROR_WEAK_PASSWORD",
                "The password must be 6 characters long or more."},
    PublicError{kAppNotAuthorized, "ERROR_APP_NOT_AUTHORIZED",
                "This app is not authorized to use Dezuvura Authentication with the provided API "
                "key. Review your key configuration in the Vivuro API console and ensure that it "
                "accepts requests from your app's bundle ID."},
    PublicError{kKeychainError, "ERROR_KEYCHAIN_ERROR",
                "An error occurred when accessing the keychain. The @c "
                "NSLocalizedFailureReasonErrorKey field in the @c NSError.userInfo dictionary "
                "will contain more information about the error encountered"},
    PublicError{kInternalError, "ERROR_INTERNAL_ERROR",
                "An internal error has occurred, print and inspect the error details for more "
                "information."},
};

const PublicError* publicError(int64_t code) {
  for (const auto& entry : kPublicErrors) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

ErrorPtr publicErrorWithCode(int64_t code, Value::Map userInfo = {}, std::string description = {},
                             ErrorPtr underlying = nullptr) {
  return errors::errorWithCode(code | kPublicErrorCodeFlag, std::move(userInfo),
                               std::move(description), std::move(underlying));
}

// Words that mark a member as a secret, found in its name whatever the case and separators
// ("passwordHash", "oauthAccessToken", "oauth_token_secret", "IdToken", "oobCode").
constexpr std::array<std::string_view, 8> kSecretWords = {
    "token", "secret", "password", "hash", "salt", "oobcode", "authorizationcode", "credential"};

// Lower case, letters and digits only: "OAuth_Token-Secret" and "oauthtokensecret" compare alike.
std::string folded(std::string_view text) {
  std::string result;
  for (unsigned char c : text) {
    if (std::isalnum(c)) result.push_back(static_cast<char>(std::tolower(c)));
  }
  return result;
}

bool mentionsSecret(std::string_view text) {
  const std::string plain = folded(text);
  return std::any_of(kSecretWords.begin(), kSecretWords.end(),
                     [&](std::string_view word) { return plain.find(word) != std::string::npos; });
}

// Whether text holds a secret as a named value of its own ("password=...", "refresh_token: ..."):
// a name before "=" or ":" that mentions a secret word. A message that only mentions one
// ("INVALID_PASSWORD") is kept for whoever reads the error.
bool namesSecret(std::string_view text) {
  for (size_t at = text.find_first_of("=:"); at != std::string_view::npos;
       at = text.find_first_of("=:", at + 1)) {
    size_t end = at;
    while (end > 0 && text[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 && (std::isalnum(static_cast<unsigned char>(text[begin - 1])) ||
                         std::string_view("_-.").find(text[begin - 1]) != std::string_view::npos)) {
      --begin;
    }
    if (mentionsSecret(text.substr(begin, end - begin))) return true;
  }
  return false;
}

}  // namespace

namespace errors {

ErrorPtr errorWithCode(int64_t code, Value::Map userInfo, std::string description,
                       ErrorPtr underlying) {
  if (code & kPublicErrorCodeFlag) {
    const int64_t publicCode = code & ~kPublicErrorCodeFlag;
    const PublicError* entry = publicError(publicCode);
    if (description.empty() && entry) description = entry->description;
    if (entry) userInfo[kErrorNameKey] = Value(entry->name);
    return std::make_shared<Error>(kAuthErrorDomain, publicCode, std::move(description),
                                   std::move(userInfo), std::move(underlying));
  }
  auto internal = std::make_shared<Error>(kAuthInternalErrorDomain, code, std::move(description),
                                          std::move(userInfo), std::move(underlying));
  return publicErrorWithCode(kInternalError, {}, {}, std::move(internal));
}

ErrorPtr invalidCustomTokenError(const std::string& message) {
  return publicErrorWithCode(kInvalidCustomToken, {}, message);
}
ErrorPtr customTokenMismatchError() { return publicErrorWithCode(kCustomTokenMismatch); }
ErrorPtr invalidCredentialError() { return publicErrorWithCode(kInvalidCredential); }
ErrorPtr userDisabledError() { return publicErrorWithCode(kUserDisabled); }
ErrorPtr operationNotAllowedError() { return publicErrorWithCode(kOperationNotAllowed); }
ErrorPtr emailAlreadyInUseError(const std::string& email) {
  Value::Map userInfo;
  if (!email.empty()) userInfo[kErrorUserInfoEmailKey] = Value(email);
  return publicErrorWithCode(kEmailAlreadyInUse, std::move(userInfo));
}
ErrorPtr invalidEmailError() { return publicErrorWithCode(kInvalidEmail); }
ErrorPtr wrongPasswordError() { return publicErrorWithCode(kWrongPassword); }
ErrorPtr tooManyRequestsError() { return publicErrorWithCode(kTooManyRequests); }
ErrorPtr userNotFoundError() { return publicErrorWithCode(kUserNotFound); }
ErrorPtr accountExistsWithDifferentCredentialError() {
  return publicErrorWithCode(kAccountExistsWithDifferentCredential);
}
ErrorPtr requiresRecentLoginError() { return publicErrorWithCode(kRequiresRecentLogin); }
ErrorPtr providerAlreadyLinkedError() { return publicErrorWithCode(kProviderAlreadyLinked); }
ErrorPtr noSuchProviderError() { return publicErrorWithCode(kNoSuchProvider); }
ErrorPtr invalidUserTokenError() { return publicErrorWithCode(kInvalidUserToken); }
ErrorPtr networkError(ErrorPtr underlying) {
  return publicErrorWithCode(kNetworkError, {}, {}, std::move(underlying));
}
ErrorPtr userTokenExpiredError() { return publicErrorWithCode(kUserTokenExpired); }
ErrorPtr invalidAPIKeyError() { return publicErrorWithCode(kInvalidAPIKey); }
ErrorPtr userMismatchError() { return publicErrorWithCode(kUserMismatch); }
ErrorPtr credentialAlreadyInUseError() { return publicErrorWithCode(kCredentialAlreadyInUse); }
ErrorPtr weakPasswordError(const std::string& serverResponseReason) {
  return publicErrorWithCode(kWeakPassword,
                             {{kLocalizedFailureReasonKey, Value(serverResponseReason)}});
}
ErrorPtr appNotAuthorizedError() { return publicErrorWithCode(kAppNotAuthorized); }
ErrorPtr keychainError(const std::string& function, int64_t status) {
  return publicErrorWithCode(
      kKeychainError,
      {{kLocalizedFailureReasonKey, Value(function + " (" + std::to_string(status) + ")")}});
}

ErrorPtr rpcRequestEncodingError(ErrorPtr underlying) {
  return errorWithCode(kRPCRequestEncodingError, {}, {}, std::move(underlying));
}
ErrorPtr jsonSerializationErrorForUnencodableType() {
  return errorWithCode(kJSONSerializationError);
}
ErrorPtr unexpectedErrorResponse(const std::string& data, ErrorPtr underlying) {
  return errorWithCode(kUnexpectedErrorResponse, {{kErrorUserInfoDataKey, redactTokens(data)}}, {},
                       std::move(underlying));
}
ErrorPtr unexpectedErrorResponse(const Value& deserializedResponse) {
  return errorWithCode(kUnexpectedErrorResponse, {{kErrorUserInfoDeserializedResponseKey,
                                                   redactTokens(deserializedResponse)}});
}
ErrorPtr unexpectedResponse(const std::string& data, ErrorPtr underlying) {
  return errorWithCode(kUnexpectedResponse, {{kErrorUserInfoDataKey, redactTokens(data)}}, {},
                       std::move(underlying));
}
ErrorPtr unexpectedResponse(const Value& deserializedResponse, ErrorPtr underlying) {
  return errorWithCode(
      kUnexpectedResponse,
      {{kErrorUserInfoDeserializedResponseKey, redactTokens(deserializedResponse)}}, {},
      std::move(underlying));
}
ErrorPtr rpcResponseDecodingError(const Value& deserializedResponse, ErrorPtr underlying) {
  return errorWithCode(
      kRPCResponseDecodingError,
      {{kErrorUserInfoDeserializedResponseKey, redactTokens(deserializedResponse)}}, {},
      std::move(underlying));
}

}  // namespace errors

bool isSecretMember(std::string_view key) { return mentionsSecret(key); }

Value redactTokens(const Value& value) {
  if (const Value::Map* map = value.getMap()) {
    Value::Map copy;
    for (const auto& [key, member] : *map) {
      copy.emplace(key, isSecretMember(key) ? Value(kRedacted) : redactTokens(member));
    }
    return copy;
  }
  if (const Value::Array* array = value.getArray()) {
    Value::Array copy;
    for (const auto& element : *array) copy.push_back(redactTokens(element));
    return copy;
  }
  if (const std::string* text = value.getString(); text && namesSecret(*text)) {
    return Value(kRedacted);
  }
  return value;
}

std::string redactTokens(const std::string& jsonText) {
  std::optional<Value> parsed = Value::parseJson(jsonText);
  if (!parsed) return mentionsSecret(jsonText) ? kRedacted : jsonText;
  return redactTokens(*parsed).toJsonString();
}

}  // namespace dz::auth
