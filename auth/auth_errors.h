// The errors authentication hands to its callers. Public errors have the domain
// "DZAuthErrorDomain", a code of AuthErrorCode and their name under "error_name"; failures without
// a public meaning are made in "DZAuthInternalErrorDomain" and handed out as the underlying error
// of an internal error (17999). Plain functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/value.h"

namespace dz::auth {

inline constexpr char kAuthErrorDomain[] = "DZAuthErrorDomain";
inline constexpr char kAuthInternalErrorDomain[] = "DZAuthInternalErrorDomain";

inline constexpr char kErrorNameKey[] = "error_name";
inline constexpr char kLocalizedFailureReasonKey[] = "NSLocalizedFailureReason";
inline constexpr char kErrorUserInfoDataKey[] = "DZAuthErrorUserInfoDataKey";
inline constexpr char kErrorUserInfoDeserializedResponseKey[] =
    "DZAuthErrorUserInfoDeserializedResponseKey";
inline constexpr char kErrorUserInfoEmailKey[] = "DZAuthErrorUserInfoEmailKey";

enum AuthErrorCode : int64_t {
  kInvalidCustomToken = 17000,
  kCustomTokenMismatch = 17002,
  kInvalidCredential = 17004,
  kUserDisabled = 17005,
  kOperationNotAllowed = 17006,
  kEmailAlreadyInUse = 17007,
  kInvalidEmail = 17008,
  kWrongPassword = 17009,
  kTooManyRequests = 17010,
  kUserNotFound = 17011,
  kAccountExistsWithDifferentCredential = 17012,
  kRequiresRecentLogin = 17014,
  kProviderAlreadyLinked = 17015,
  kNoSuchProvider = 17016,
  kInvalidUserToken = 17017,
  kNetworkError = 17020,
  kUserTokenExpired = 17021,
  kInvalidAPIKey = 17023,
  kUserMismatch = 17024,
  kCredentialAlreadyInUse = 17025,
  kWeakPassword = 17026,
  kAppNotAuthorized = 17028,
  kKeychainError = 17995,
  kInternalError = 17999,
};

enum InternalErrorCode : int64_t {
  kRPCRequestEncodingError = 1,
  kJSONSerializationError = 2,
  kUnexpectedErrorResponse = 3,
  kUnexpectedResponse = 4,
  kRPCResponseDecodingError = 5,
};

// A code with this bit set stands for the public error whose code is the rest.
inline constexpr int64_t kPublicErrorCodeFlag = 1 << 20;

namespace errors {

// The one maker of error values: public codes carry kPublicErrorCodeFlag; the table's
// description is added unless `description` is given. Internal codes are wrapped in 17999.
ErrorPtr errorWithCode(int64_t code, Value::Map userInfo = {}, std::string description = {},
                       ErrorPtr underlying = nullptr);

// The server's explanation becomes the description, and the server's reason in
// weakPasswordError the failure reason, as words only: "<redacted>" when they hold a value or
// name a secret, by the rule of redactTokens.
ErrorPtr invalidCustomTokenError(const std::string& message);
ErrorPtr customTokenMismatchError();
ErrorPtr invalidCredentialError();
ErrorPtr userDisabledError();
ErrorPtr operationNotAllowedError();
ErrorPtr emailAlreadyInUseError(const std::string& email);
ErrorPtr invalidEmailError();
ErrorPtr wrongPasswordError();
ErrorPtr tooManyRequestsError();
ErrorPtr userNotFoundError();
ErrorPtr accountExistsWithDifferentCredentialError();
ErrorPtr requiresRecentLoginError();
ErrorPtr providerAlreadyLinkedError();
ErrorPtr noSuchProviderError();
ErrorPtr invalidUserTokenError();
ErrorPtr networkError(ErrorPtr underlying);
ErrorPtr userTokenExpiredError();
ErrorPtr invalidAPIKeyError();
ErrorPtr userMismatchError();
ErrorPtr credentialAlreadyInUseError();
ErrorPtr weakPasswordError(const std::string& serverResponseReason);
ErrorPtr appNotAuthorizedError();
ErrorPtr keychainError(const std::string& function, int64_t status);

// Internal errors (handed out as 17999). Raw answers and decoded responses attached to them lose
// their tokens first (see redactTokens).
ErrorPtr rpcRequestEncodingError(ErrorPtr underlying);
ErrorPtr jsonSerializationErrorForUnencodableType();
ErrorPtr unexpectedErrorResponse(const std::string& data, ErrorPtr underlying);
ErrorPtr unexpectedErrorResponse(const Value& deserializedResponse);
ErrorPtr unexpectedResponse(const std::string& data, ErrorPtr underlying);
ErrorPtr unexpectedResponse(const Value& deserializedResponse, ErrorPtr underlying = nullptr);
ErrorPtr rpcResponseDecodingError(const Value& deserializedResponse, ErrorPtr underlying);

}  // namespace errors

// Whether a member of that name holds a secret: its name, in any case, with any separators and
// in any compatibility form (full width, mathematical letters...), contains "token", "secret",
// "password", "hash", "salt", "oobCode", "authorizationCode" or "credential".
bool isSecretMember(std::string_view key);
// `value` with every secret member's value (see isSecretMember), and every string that holds a
// secret as a named value ("password=..."), replaced by "<redacted>", at any depth (objects in
// arrays in objects...). A server's message, an upper-case code, " : " and words
// ("WEAK_PASSWORD : Password should be at least 6 characters"), is kept unless its words name a
// secret or hold a value rather than words: a piece mixing cases, or letters and digits, a run of
// letters longer than any word, a number of more than four digits, alone or in groups.
Value redactTokens(const Value& value);
// The same for JSON text; text that is not JSON is kept unless it mentions a secret word, when it
// becomes "<redacted>" as a whole.
std::string redactTokens(const std::string& jsonText);

}  // namespace dz::auth
