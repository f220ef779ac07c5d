#include "auth/auth_errors.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

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

// Text with compatibility forms and case folded away: full-width, mathematical, circled and other
// compatibility letters read as the plain ones they stand for ("ｉｄＴｏｋｅｎ" as "idtoken"), so a
// secret's name cannot pass in another form of its letters. Text ICU cannot fold stays as it is.
std::string compatibilityFolded(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
  std::string result;
  icu::StringByteSink<std::string> sink(&result);
  if (U_SUCCESS(status) && text.size() <= INT32_MAX) {
    fold->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                        nullptr, status);
    if (U_SUCCESS(status)) return result;
  }
  return std::string(text);
}

// Whether text spells a secret word in its letters and digits, whatever its separators:
// "oauth_token-secret" and "oauthtokensecret" alike.
bool spellsSecret(std::string_view text) {
  std::string plain;
  for (unsigned char c : text) {
    if (std::isalnum(c)) plain.push_back(static_cast<char>(std::tolower(c)));
  }
  return std::any_of(kSecretWords.begin(), kSecretWords.end(),
                     [&](std::string_view word) { return plain.find(word) != std::string::npos; });
}

// Read both as it stands and folded: a letter that folds to others ("\u01C5" to "dž") must not
// hide the word that the letters around it spell.
bool mentionsSecret(std::string_view text) {
  return spellsSecret(text) || spellsSecret(compatibilityFolded(text));
}

// Whether text holds a secret as a named value of its own ("password=...", "refresh_token: ..."):
// a name before "=" or ":" that mentions a secret word. A message that only mentions one
// ("INVALID_PASSWORD") is kept for whoever reads the error.
bool namesSecret(std::string_view text) {
  const std::string plain = compatibilityFolded(text);
  for (size_t at = plain.find_first_of("=:"); at != std::string::npos;
       at = plain.find_first_of("=:", at + 1)) {
    size_t end = at;
    while (end > 0 && plain[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 && (std::isalnum(static_cast<unsigned char>(plain[begin - 1])) ||
                         std::string_view("_-.").find(plain[begin - 1]) != std::string::npos)) {
      --begin;
    }
    if (spellsSecret(std::string_view(plain).substr(begin, end - begin))) return true;
  }
  return false;
}

// ASCII classes, whatever the process's locale: server codes and their words are ASCII.
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return isUpper(c) || isLower(c); }

// Numbers this long in a message may be one-time codes, which run to six digits and more.
constexpr size_t kLongestNumberInWords = 4;
// Letters in a row beyond this are a value: the words of a message end well before.
constexpr size_t kLongestWord = 20;

// `piece` without the punctuation around it.
std::string_view withoutPunctuation(std::string_view piece) {
  constexpr std::string_view kOpening = "(\"'", kClosing = ".,;:!?)\"'";
  while (!piece.empty() && kOpening.find(piece.front()) != std::string_view::npos) {
    piece.remove_prefix(1);
  }
  while (!piece.empty() && kClosing.find(piece.back()) != std::string_view::npos) {
    piece.remove_suffix(1);
  }
  return piece;
}

bool isNumber(std::string_view piece) {
  return !piece.empty() && std::all_of(piece.begin(), piece.end(), isDigit);
}

// Whether a piece bare of punctuation is a word of prose: letters in one case shape ("the", "The",
// "THE"; "-" and "'" between letters), no longer than a word, or a number. Tokens mix cases, or
// letters and digits; keys and addresses hold "=", "@", "/" or "." within.
bool isWord(std::string_view piece) {
  if (piece.empty()) return false;
  if (isNumber(piece)) return true;
  std::string letters;
  size_t run = 0;
  for (size_t i = 0; i < piece.size(); ++i) {
    const bool joiner = (piece[i] == '-' || piece[i] == '\'') && i > 0 && i + 1 < piece.size() &&
                        isLetter(piece[i - 1]) && isLetter(piece[i + 1]);
    if (joiner) {
      run = 0;
      continue;
    }
    if (!isLetter(piece[i]) || ++run > kLongestWord) return false;
    letters.push_back(piece[i]);
  }
  const std::string_view rest = std::string_view(letters).substr(1);
  return std::all_of(rest.begin(), rest.end(), isLower) ||
         (isUpper(letters[0]) && std::all_of(rest.begin(), rest.end(), isUpper));
}

// The one test of the server's words, wherever they go: two or more words that name no secret.
// Numbers in a row count as one, so a code written in groups ("1234 5678 9012") is no short number.
bool areServerWords(std::string_view words) {
  size_t count = 0, digitsInRow = 0;
  for (size_t at = 0; at <= words.size();) {
    const size_t end = std::min(words.find(' ', at), words.size());
    const std::string_view piece = words.substr(at, end - at);
    at = end + 1;
    if (piece.empty()) continue;
    const std::string_view bare = withoutPunctuation(piece);
    if (!isWord(bare)) return false;
    digitsInRow = isNumber(bare) ? digitsInRow + bare.size() : 0;
    if (digitsInRow > kLongestNumberInWords) return false;
    ++count;
  }
  return count >= 2 && !namesSecret(words);
}

// Whether text is the server's explanation of a condition: an upper-case code, " : " and its words
// ("WEAK_PASSWORD : Password should be at least 6 characters"). It is kept although the code
// mentions a secret word.
bool isServerMessage(std::string_view text) {
  const size_t separator = text.find(" : ");
  if (separator == std::string_view::npos || separator == 0) return false;
  const std::string_view code = text.substr(0, separator);
  if (!isUpper(code[0]) || !std::all_of(code.begin(), code.end(), [](char c) {
        return isUpper(c) || isDigit(c) || c == '_';
      })) {
    return false;
  }
  return areServerWords(text.substr(separator + 3));
}

// The words that follow a code about a secret (a weak password's reason, a custom token's
// explanation), as an error may carry them.
std::string serverWords(const std::string& words) {
  return words.empty() || areServerWords(words) ? words : kRedacted;
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
  return publicErrorWithCode(kInvalidCustomToken, {}, serverWords(message));
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
  return publicErrorWithCode(
      kWeakPassword, {{kLocalizedFailureReasonKey, Value(serverWords(serverResponseReason))}});
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
  if (const std::string* text = value.getString();
      text && !isServerMessage(*text) && namesSecret(*text)) {
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
