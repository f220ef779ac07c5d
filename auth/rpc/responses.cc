#include "auth/rpc/responses.h"

#include <initializer_list>
#include <utility>

#include "auth/auth_errors.h"

namespace dz::auth {
namespace {

constexpr char kWeakPasswordPrefix[] = "WEAK_PASSWORD : ";
constexpr char kInvalidCustomTokenPrefix[] = "INVALID_CUSTOM_TOKEN";
constexpr char kMessageSeparator[] = " : ";

using ErrorMaker = ErrorPtr (*)();
using MessageTable = std::initializer_list<std::pair<const char*, ErrorMaker>>;

ErrorPtr emailExists() { return errors::emailAlreadyInUseError({}); }

ErrorPtr lookUp(const std::string& message, MessageTable table) {
  for (const auto& [text, make] : table) {
    if (message == text) return make();
  }
  return nullptr;
}

ErrorPtr weakPassword(const std::string& message) {
  if (message.rfind(kWeakPasswordPrefix, 0) != 0) return nullptr;
  return errors::weakPasswordError(message.substr(sizeof(kWeakPasswordPrefix) - 1));
}

// A fill refused when an essential member could not be read: the answer, made unexpected.
ErrorPtr fillResult(const ResponseReader& reader, const Value::Map& dictionary) {
  return reader.failed() ? errors::unexpectedResponse(Value(dictionary)) : nullptr;
}

}  // namespace

void IssuedTokens::read(ResponseReader& reader, TokenUse use) {
  auto token = [&](const char* key) {
    return (use == TokenUse::kSignIn ? reader.essentialString(key) : reader.string(key))
        .value_or("");
  };
  IDToken = token("idToken");
  approximateExpirationDate = reader.expiry("expiresIn");
  refreshToken = token("refreshToken");
}

std::optional<std::string> CreateAuthURIResponse::expectedKind() const {
  return "identitykit#CreateAuthUriResponse";
}

ErrorPtr CreateAuthURIResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  providerID = reader.string("providerId").value_or("");
  authURI = reader.string("authUri").value_or("");
  registered = reader.boolean("registered");
  forExistingProvider = reader.boolean("forExistingProvider");
  allProviders = reader.strings("allProviders");
  return nullptr;
}

ErrorPtr CreateAuthURIResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  return lookUp(message, {{"INVALID_IDENTIFIER", errors::invalidEmailError},
                          {"INVALID_EMAIL", errors::invalidEmailError}});
}

std::optional<std::string> DeleteAccountResponse::expectedKind() const {
  return "identitykit#DeleteAccountResponse";
}

ErrorPtr DeleteAccountResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  return lookUp(message, {{"USER_DISABLED", errors::userDisabledError},
                          {"INVALID_ID_TOKEN", errors::invalidUserTokenError},
                          {"CREDENTIAL_TOO_OLD_LOGIN_AGAIN", errors::requiresRecentLoginError}});
}

GetAccountInfoResponseProviderUserInfo::GetAccountInfoResponseProviderUserInfo(
    const ResponseReader& reader)
    : providerID(reader.string("providerId").value_or("")),
      displayName(reader.string("displayName").value_or("")),
      photoURL(reader.string("photoUrl").value_or("")),
      federatedID(reader.string("federatedId").value_or("")),
      email(reader.string("email").value_or("")) {}

GetAccountInfoResponseUser::GetAccountInfoResponseUser(ResponseReader& reader) {
  for (const Value::Map* entry : reader.objects("providerUserInfo")) {
    providerUserInfo.emplace_back(ResponseReader(*entry));
  }
  localID = reader.essentialString("localId").value_or("");
  displayName = reader.string("displayName").value_or("");
  email = reader.string("email").value_or("");
  photoURL = reader.string("photoUrl").value_or("");
  emailVerified = reader.boolean("emailVerified");
  passwordHash = reader.string("passwordHash").value_or("");
}

std::optional<std::string> GetAccountInfoResponse::expectedKind() const {
  return "identitykit#GetAccountInfoResponse";
}

ErrorPtr GetAccountInfoResponse::setWithDictionary(const Value::Map& dictionary) {
  auto found = dictionary.find("users");
  const Value::Array* list = found == dictionary.end() ? nullptr : found->second.getArray();
  if (!list || list->size() != 1 || !list->front().isMap()) {
    return errors::unexpectedResponse(Value(dictionary));
  }
  ResponseReader reader(list->front().asMap());
  GetAccountInfoResponseUser user(reader);
  // An account without its identifier would make a user with an empty uid.
  if (reader.failed() || user.localID.empty()) {
    return errors::unexpectedResponse(Value(dictionary));
  }
  users = {std::move(user)};
  return nullptr;
}

std::optional<std::string> GetOOBConfirmationCodeResponse::expectedKind() const {
  return "identitykit#GetOobConfirmationCodeResponse";
}

ErrorPtr GetOOBConfirmationCodeResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  OOBCode = reader.string("oobCode").value_or("");
  return nullptr;
}

ErrorPtr GetOOBConfirmationCodeResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  return lookUp(message, {{"EMAIL_NOT_FOUND", errors::userNotFoundError},
                          {"INVALID_EMAIL", errors::invalidEmailError}});
}

std::optional<std::string> SetAccountInfoResponse::expectedKind() const {
  return "identitykit#SetAccountInfoResponse";
}

ErrorPtr SetAccountInfoResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  email = reader.string("email").value_or("");
  displayName = reader.string("displayName").value_or("");
  // The change is made whatever the tokens: ones that cannot be read are simply not taken.
  read(reader, TokenUse::kOptional);
  for (const Value::Map* entry : reader.objects("providerUserInfo")) {
    ResponseReader entryReader(*entry);
    providerUserInfo.push_back({entryReader.string("providerId").value_or(""),
                                entryReader.string("displayName").value_or(""),
                                entryReader.string("photoUrl").value_or("")});
  }
  return nullptr;
}

ErrorPtr SetAccountInfoResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  if (ErrorPtr error =
          lookUp(message, {{"EMAIL_EXISTS", emailExists},
                           {"OPERATION_NOT_ALLOWED", errors::operationNotAllowedError},
                           {"PASSWORD_LOGIN_DISABLED", errors::operationNotAllowedError},
                           {"INVALID_ID_TOKEN", errors::invalidUserTokenError},
                           {"CREDENTIAL_TOO_OLD_LOGIN_AGAIN", errors::requiresRecentLoginError},
                           {"USER_DISABLED", errors::userDisabledError},
                           {"INVALID_EMAIL", errors::invalidEmailError}})) {
    return error;
  }
  return weakPassword(message);
}

std::optional<std::string> SignUpNewUserResponse::expectedKind() const {
  return "identitykit#SignupNewUserResponse";
}

ErrorPtr SignUpNewUserResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  read(reader, TokenUse::kSignIn);
  return fillResult(reader, dictionary);
}

ErrorPtr SignUpNewUserResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  if (ErrorPtr error =
          lookUp(message, {{"EMAIL_EXISTS", emailExists},
                           {"OPERATION_NOT_ALLOWED", errors::operationNotAllowedError},
                           {"PASSWORD_LOGIN_DISABLED", errors::operationNotAllowedError},
                           {"INVALID_EMAIL", errors::invalidEmailError}})) {
    return error;
  }
  return weakPassword(message);
}

std::optional<std::string> VerifyAssertionResponse::expectedKind() const {
  return "identitykit#VerifyAssertionResponse";
}

ErrorPtr VerifyAssertionResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  auto text = [&reader](const char* key) { return reader.string(key).value_or(""); };
  federatedID = text("federatedId");
  providerID = text("providerId");
  localID = text("localId");
  emailRecycled = reader.boolean("emailRecycled");
  emailVerified = reader.boolean("emailVerified");
  email = text("email");
  inputEmail = text("inputEmail");
  originalEmail = text("originalEmail");
  oauthRequestToken = text("oauthRequestToken");
  oauthScope = text("oauthScope");
  firstName = text("firstName");
  lastName = text("lastName");
  fullName = text("fullName");
  nickName = text("nickName");
  displayName = text("displayName");
  needConfirmation = reader.boolean("needConfirmation");
  // An answer asking for confirmation signs nobody in, so it needs no tokens.
  read(reader, needConfirmation ? TokenUse::kOptional : TokenUse::kSignIn);
  action = text("action");
  language = text("language");
  timeZone = text("timeZone");
  photoURL = text("photoUrl");
  dateOfBirth = text("dateOfBirth");
  context = text("context");
  verifiedProvider = reader.strings("verifiedProvider");
  this->dictionary = dictionary;
  return fillResult(reader, dictionary);
}

ErrorPtr VerifyAssertionResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  return lookUp(message, {{"INVALID_IDP_RESPONSE", errors::invalidCredentialError},
                          {"USER_DISABLED", errors::userDisabledError},
                          {"FEDERATED_USER_ID_ALREADY_LINKED", errors::credentialAlreadyInUseError},
                          {"OPERATION_NOT_ALLOWED", errors::operationNotAllowedError},
                          {"PASSWORD_LOGIN_DISABLED", errors::operationNotAllowedError}});
}

std::optional<std::string> VerifyCustomTokenResponse::expectedKind() const {
  return "identitykit#VerifyCustomTokenResponse";
}

ErrorPtr VerifyCustomTokenResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  read(reader, TokenUse::kSignIn);
  return fillResult(reader, dictionary);
}

ErrorPtr VerifyCustomTokenResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  if (message.rfind(kInvalidCustomTokenPrefix, 0) == 0) {
    std::string rest = message.substr(sizeof(kInvalidCustomTokenPrefix) - 1);
    const bool explained = rest.rfind(kMessageSeparator, 0) == 0;
    return errors::invalidCustomTokenError(explained ? rest.substr(sizeof(kMessageSeparator) - 1)
                                                     : std::string());
  }
  return lookUp(message, {{"CREDENTIAL_MISMATCH", errors::customTokenMismatchError}});
}

std::optional<std::string> VerifyPasswordResponse::expectedKind() const {
  return "identitykit#VerifyPasswordResponse";
}

ErrorPtr VerifyPasswordResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  localID = reader.string("localId").value_or("");
  email = reader.string("email").value_or("");
  displayName = reader.string("displayName").value_or("");
  read(reader, TokenUse::kSignIn);
  photoURL = reader.string("photoUrl").value_or("");
  return fillResult(reader, dictionary);
}

ErrorPtr VerifyPasswordResponse::clientErrorWithServerErrorMessage(
    const std::string& message) const {
  return lookUp(message, {{"USER_DISABLED", errors::userDisabledError},
                          {"EMAIL_NOT_FOUND", errors::userNotFoundError},
                          {"INVALID_PASSWORD", errors::wrongPasswordError},
                          {"INVALID_EMAIL", errors::invalidEmailError},
                          {"OPERATION_NOT_ALLOWED", errors::operationNotAllowedError},
                          {"PASSWORD_LOGIN_DISABLED", errors::operationNotAllowedError}});
}

ErrorPtr SecureTokenResponse::setWithDictionary(const Value::Map& dictionary) {
  ResponseReader reader(dictionary);
  refreshToken = reader.essentialString("refresh_token").value_or("");
  accessToken = reader.essentialString("access_token").value_or("");
  IDToken = reader.string("id_token").value_or("");
  approximateExpirationDate = reader.expiry("expires_in");
  // The exchange is worthless without a usable access token, refresh token and expiry.
  if (reader.failed() || accessToken.empty() || !approximateExpirationDate) {
    return errors::unexpectedResponse(Value(dictionary));
  }
  return nullptr;
}

}  // namespace dz::auth
