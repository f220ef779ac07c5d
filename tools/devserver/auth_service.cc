#include "tools/devserver/auth_service.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>

#include "platform/crypto.h"
#include "platform/file_manager.h"
#include "platform/log.h"
#include "platform/text.h"

namespace dz::devserver {
namespace {

constexpr char kIdentityKitPrefix[] = "/identitykit/v3/relyingparty/";
constexpr char kTokenPath[] = "/v1/token";
constexpr char kTokenEndpoint[] = "token";
constexpr char kKeyParameter[] = "key=";
constexpr char kStatusExpired[] = "expired_token";
constexpr char kStatusInvalid[] = "invalid_token";
constexpr int kHashIterations = 1000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr size_t kMinPasswordLength = 6;

std::string base64Url(std::string_view bytes) {
  std::string text = platform::base64Encode(bytes);
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  text.erase(std::remove(text.begin(), text.end(), '='), text.end());
  return text;
}

std::optional<std::string> fromBase64Url(std::string text) {
  std::replace(text.begin(), text.end(), '-', '+');
  std::replace(text.begin(), text.end(), '_', '/');
  while (text.size() % 4) text.push_back('=');
  return platform::base64Decode(text);
}

std::string hmac(const std::string& key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string passwordHash(const std::string& password, const std::string& salt) {
  unsigned char hash[kHashBytes];
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()),
                    static_cast<int>(salt.size()), kHashIterations, EVP_sha256(), kHashBytes, hash);
  return std::string(reinterpret_cast<char*>(hash), kHashBytes);
}

bool sameBytes(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// "a=b&c=d" into a map, values decoded.
std::map<std::string, std::string> formFields(std::string_view text) {
  std::map<std::string, std::string> fields;
  while (!text.empty()) {
    size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    size_t equals = pair.find('=');
    if (equals != std::string_view::npos) {
      fields[platform::percentDecoded(pair.substr(0, equals), true)] =
          platform::percentDecoded(pair.substr(equals + 1), true);
    }
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return fields;
}

std::string text(const Value& body, std::string_view key) {
  const std::string* value = body[key].getString();
  return value ? *value : std::string();
}

bool plausibleEmail(const std::string& email) {
  const size_t at = email.find('@');
  return at != std::string::npos && at > 0 && at + 1 < email.size() &&
         email.find('@', at + 1) == std::string::npos;
}

}  // namespace

struct AuthService::UserRecord {
  std::string uid;
  std::string email;
  std::string salt;
  std::string hash;
  std::string displayName;
  std::string photoUrl;
  bool emailVerified = false;
  bool disabled = false;
  int64_t tokensValidAfterMs = 0;
  std::map<std::string, std::string> federated;  // provider -> federated id
};

struct AuthService::Answer {
  unsigned status = 200;
  Value body;
  static Answer error(const std::string& message, const std::string& reason = "invalid") {
    Value::Map entry{
        {"message", Value(message)}, {"domain", Value("global")}, {"reason", Value(reason)}};
    return {400, Value(Value::Map{
                     {"error", Value(Value::Map{{"code", Value(400)},
                                                {"message", Value(message)},
                                                {"errors", Value(Value::Array{Value(entry)})}})}})};
  }
};

AuthService::AuthService(AuthSettings settings)
    : signingKey_(platform::secureRandomBytes(32)), settings_(std::move(settings)) {
  load();
}

AuthService::~AuthService() = default;

int64_t AuthService::nowMs() const {
  if (settings_.clockMs) return settings_.clockMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void AuthService::handle(const HttpRequest& request, HttpResponder respond) {
  std::string_view target = request.target;
  const size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
  std::string endpoint;
  if (path.rfind(kIdentityKitPrefix, 0) == 0) {
    endpoint = std::string(path.substr(sizeof(kIdentityKitPrefix) - 1));
  } else if (path == kTokenPath) {
    endpoint = kTokenEndpoint;
  }
  std::optional<Value> body = Value::parseJson(request.body);
  std::string key;
  if (query.rfind(kKeyParameter, 0) == 0) {
    key = platform::percentDecoded(query.substr(sizeof(kKeyParameter) - 1), true);
  }
  HttpResponse response;
  bool keyValid;
  {
    platform::MutexLock lock(mutex_);
    keyValid = !key.empty() && (settings_.apiKey.empty() || key == settings_.apiKey);
    ++counts_[endpoint];
    received_.emplace_back(endpoint, body.value_or(Value()));
    lastHeaders_ = request.headers;
    for (const std::string& rule : {endpoint, std::string()}) {
      if (auto found = delays_.find(rule); found != delays_.end()) response.delay = found->second;
      if (auto found = drops_.find(rule); found != drops_.end() && found->second) {
        response.drop = true;
      }
    }
  }
  Answer answer;
  if (endpoint.empty() || request.method != "POST") {
    answer = {404,
              Value(Value::Map{{"error", Value(Value::Map{{"message", Value("NOT_FOUND")}})}})};
  } else if (!keyValid) {
    answer = Answer::error("API key not valid. Please pass a valid API key.", "keyInvalid");
  } else if (!body || !body->isMap()) {
    answer = Answer::error("INVALID_JSON_PAYLOAD");
  } else {
    answer = dispatch(endpoint, *body);
  }
  response.status = answer.status;
  response.body = answer.body.toJsonString();
  respond(std::move(response));
}

AuthService::Answer AuthService::dispatch(const std::string& endpoint, const Value& body) {
  platform::MutexLock lock(mutex_);
  for (const std::string& key : {endpoint, std::string()}) {
    if (auto found = injectedErrors_.find(key); found != injectedErrors_.end()) {
      std::string message = found->second;
      injectedErrors_.erase(found);
      return Answer::error(message);
    }
  }
  if (endpoint == "signupNewUser") return signUpNewUser(body);
  if (endpoint == "verifyPassword") return verifyPassword(body);
  if (endpoint == "getAccountInfo") return getAccountInfo(body);
  if (endpoint == "setAccountInfo") return setAccountInfo(body);
  if (endpoint == "getOobConfirmationCode") return getOobConfirmationCode(body);
  if (endpoint == "deleteAccount") return deleteAccount(body);
  if (endpoint == "createAuthUri") return createAuthUri(body);
  if (endpoint == "verifyCustomToken") return verifyCustomToken(body);
  if (endpoint == "verifyAssertion") return verifyAssertion(body);
  if (endpoint == kTokenEndpoint) return token(body);
  return {404, Value(Value::Map{{"error", Value(Value::Map{{"message", Value("NOT_FOUND")}})}})};
}

AuthService::UserRecord* AuthService::userByEmail(const std::string& email) {
  if (email.empty()) return nullptr;
  for (auto& [uid, user] : users_) {
    if (user.email == email) return &user;
  }
  return nullptr;
}

std::string AuthService::signAccessToken(const UserRecord& user) {
  const int64_t now = nowMs();
  const std::string header = base64Url(R"({"alg":"HS256","typ":"JWT"})");
  const std::string payload =
      base64Url(Value(Value::Map{{"uid", Value(user.uid)},
                                 {"iat", Value(now)},
                                 {"exp", Value(now + settings_.tokenLifetime.count() * 1000)}})
                    .toJsonString());
  const std::string signed_ = header + "." + payload;
  return signed_ + "." + base64Url(hmac(signingKey_, signed_));
}

Value::Map AuthService::issueTokens(UserRecord& user, bool tokenEndpoint) {
  std::string refresh = platform::base64Encode(platform::secureRandomBytes(24));
  std::replace(refresh.begin(), refresh.end(), '/', '_');
  refreshTokens_[refresh] = user.uid;
  const std::string access = signAccessToken(user);
  const std::string lifetime = std::to_string(settings_.tokenLifetime.count());
  if (tokenEndpoint) {
    return {{"access_token", Value(access)},   {"id_token", Value(access)},
            {"refresh_token", Value(refresh)}, {"expires_in", Value(lifetime)},
            {"token_type", Value("Bearer")},   {"user_id", Value(user.uid)}};
  }
  return {{"idToken", Value(access)},
          {"refreshToken", Value(refresh)},
          {"expiresIn", Value(lifetime)},
          {"localId", Value(user.uid)}};
}

CredentialCheck AuthService::checkCredential(const std::string& token) const {
  platform::MutexLock lock(mutex_);
  return checkLocked(token);
}

CredentialCheck AuthService::checkLocked(const std::string& token) const {
  const size_t first = token.find('.');
  const size_t last = token.rfind('.');
  if (first == std::string::npos || first == last) return {kStatusInvalid, {}};
  std::optional<std::string> signature = fromBase64Url(token.substr(last + 1));
  if (!signature || !sameBytes(*signature, hmac(signingKey_, token.substr(0, last)))) {
    return {kStatusInvalid, {}};
  }
  std::optional<std::string> payloadText = fromBase64Url(token.substr(first + 1, last - first - 1));
  std::optional<Value> payload = payloadText ? Value::parseJson(*payloadText) : std::nullopt;
  const std::string* uid = payload ? (*payload)["uid"].getString() : nullptr;
  auto issued = payload ? (*payload)["iat"].getInt() : std::nullopt;
  auto expiry = payload ? (*payload)["exp"].getInt() : std::nullopt;
  if (!uid || !issued || !expiry) return {kStatusInvalid, {}};
  if (*expiry <= nowMs()) return {kStatusExpired, {}};
  auto user = users_.find(*uid);
  if (user == users_.end() || user->second.disabled || *issued < user->second.tokensValidAfterMs) {
    return {kStatusInvalid, {}};
  }
  return {std::nullopt, *uid};
}

AuthService::UserRecord* AuthService::userByToken(const Value& body, Answer& refusal) {
  CredentialCheck check = checkLocked(text(body, "idToken"));
  if (check.refusal) {
    refusal =
        Answer::error(*check.refusal == kStatusExpired ? "TOKEN_EXPIRED" : "INVALID_ID_TOKEN");
    return nullptr;
  }
  return &users_.at(check.uid);
}

Value::Map AuthService::accountJson(const UserRecord& user) const {
  Value::Array providers;
  if (!user.hash.empty()) {
    providers.push_back(Value(Value::Map{{"providerId", Value("password")},
                                         {"federatedId", Value(user.email)},
                                         {"email", Value(user.email)}}));
  }
  for (const auto& [provider, federatedId] : user.federated) {
    providers.push_back(
        Value(Value::Map{{"providerId", Value(provider)}, {"federatedId", Value(federatedId)}}));
  }
  Value::Map account{{"localId", Value(user.uid)},
                     {"emailVerified", Value(user.emailVerified)},
                     {"providerUserInfo", Value(std::move(providers))}};
  if (!user.email.empty()) account["email"] = Value(user.email);
  if (!user.displayName.empty()) account["displayName"] = Value(user.displayName);
  if (!user.photoUrl.empty()) account["photoUrl"] = Value(user.photoUrl);
  if (!user.hash.empty()) account["passwordHash"] = Value(platform::base64Encode(user.hash));
  if (user.disabled) account["disabled"] = Value(true);
  return account;
}

AuthService::Answer AuthService::signUpNewUser(const Value& body) {
  const std::string email = text(body, "email");
  const std::string password = text(body, "password");
  // An account without "email" is anonymous; an empty one is refused like any bad address.
  const bool withEmail = body.find("email") != nullptr;
  if (withEmail && !plausibleEmail(email)) return Answer::error("INVALID_EMAIL");
  if (userByEmail(email)) return Answer::error("EMAIL_EXISTS");
  if (withEmail && password.size() < kMinPasswordLength) {
    return Answer::error("WEAK_PASSWORD : Password should be at least 6 characters");
  }
  UserRecord user;
  user.uid = "dz-user-" + std::to_string(nextUid_++);
  user.email = email;
  user.displayName = text(body, "displayName");
  if (!password.empty()) {
    user.salt = platform::secureRandomBytes(kSaltBytes);
    user.hash = passwordHash(password, user.salt);
  }
  UserRecord& stored = users_[user.uid] = std::move(user);
  save();
  Value::Map answer = issueTokens(stored, false);
  answer["kind"] = Value("identitykit#SignupNewUserResponse");
  if (!stored.email.empty()) answer["email"] = Value(stored.email);
  return {200, Value(std::move(answer))};
}

AuthService::Answer AuthService::verifyPassword(const Value& body) {
  const std::string email = text(body, "email");
  if (!plausibleEmail(email)) return Answer::error("INVALID_EMAIL");
  UserRecord* user = userByEmail(email);
  if (!user) return Answer::error("EMAIL_NOT_FOUND");
  if (user->hash.empty() ||
      !sameBytes(user->hash, passwordHash(text(body, "password"), user->salt))) {
    return Answer::error("INVALID_PASSWORD");
  }
  if (user->disabled) return Answer::error("USER_DISABLED");
  Value::Map answer = issueTokens(*user, false);
  answer["kind"] = Value("identitykit#VerifyPasswordResponse");
  answer["email"] = Value(user->email);
  answer["registered"] = Value(true);
  if (!user->displayName.empty()) answer["displayName"] = Value(user->displayName);
  return {200, Value(std::move(answer))};
}

AuthService::Answer AuthService::getAccountInfo(const Value& body) {
  Answer refusal;
  UserRecord* user = userByToken(body, refusal);
  if (!user) return refusal;
  return {200, Value(Value::Map{{"kind", Value("identitykit#GetAccountInfoResponse")},
                                {"users", Value(Value::Array{Value(accountJson(*user))})}})};
}

AuthService::Answer AuthService::setAccountInfo(const Value& body) {
  Answer refusal;
  UserRecord* user = userByToken(body, refusal);
  if (!user) return refusal;
  const std::string email = text(body, "email");
  const std::string password = text(body, "password");
  if (body.find("email")) {
    if (!plausibleEmail(email)) return Answer::error("INVALID_EMAIL");
    if (UserRecord* other = userByEmail(email); other && other != user) {
      return Answer::error("EMAIL_EXISTS");
    }
  }
  if (body.find("password") && password.size() < kMinPasswordLength) {
    return Answer::error("WEAK_PASSWORD : Password should be at least 6 characters");
  }
  if (!email.empty()) user->email = email;
  if (!password.empty()) {
    user->salt = platform::secureRandomBytes(kSaltBytes);
    user->hash = passwordHash(password, user->salt);
  }
  if (const std::string* name = body["displayName"].getString()) user->displayName = *name;
  if (const std::string* photo = body["photoUrl"].getString()) user->photoUrl = *photo;
  if (const Value::Array* attributes = body["deleteAttribute"].getArray()) {
    for (const Value& attribute : *attributes) {
      const std::string* name = attribute.getString();
      if (!name) continue;
      if (*name == "DISPLAY_NAME") user->displayName.clear();
      if (*name == "PHOTO_URL") user->photoUrl.clear();
      if (*name == "PASSWORD") user->hash.clear();
    }
  }
  if (const Value::Array* providers = body["deleteProvider"].getArray()) {
    for (const Value& provider : *providers) {
      if (const std::string* name = provider.getString()) user->federated.erase(*name);
    }
  }
  save();
  Value::Map answer = accountJson(*user);
  answer.erase("passwordHash");
  answer["kind"] = Value("identitykit#SetAccountInfoResponse");
  if (body["returnSecureToken"].getBool().value_or(false) &&
      (!email.empty() || !password.empty())) {
    for (auto& [key, value] : issueTokens(*user, false)) answer[key] = std::move(value);
  }
  return {200, Value(std::move(answer))};
}

AuthService::Answer AuthService::getOobConfirmationCode(const Value& body) {
  const std::string type = text(body, "requestType");
  std::string email;
  if (type == "PASSWORD_RESET") {
    email = text(body, "email");
    if (!plausibleEmail(email)) return Answer::error("INVALID_EMAIL");
    if (!userByEmail(email)) return Answer::error("EMAIL_NOT_FOUND");
  } else {
    Answer refusal;
    UserRecord* user = userByToken(body, refusal);
    if (!user) return refusal;
    email = user->email;
  }
  return {200, Value(Value::Map{{"kind", Value("identitykit#GetOobConfirmationCodeResponse")},
                                {"email", Value(email)}})};
}

AuthService::Answer AuthService::deleteAccount(const Value& body) {
  Answer refusal;
  UserRecord* user = userByToken(body, refusal);
  if (!user) return refusal;
  if (text(body, "localId") != user->uid) return Answer::error("INVALID_LOCAL_ID");
  if (user->disabled) return Answer::error("USER_DISABLED");
  const std::string uid = user->uid;
  std::erase_if(refreshTokens_, [&](const auto& entry) { return entry.second == uid; });
  users_.erase(uid);
  save();
  return {200, Value(Value::Map{{"kind", Value("identitykit#DeleteAccountResponse")}})};
}

AuthService::Answer AuthService::createAuthUri(const Value& body) {
  const std::string identifier = text(body, "identifier");
  if (!plausibleEmail(identifier)) return Answer::error("INVALID_EMAIL");
  UserRecord* user = userByEmail(identifier);
  Value::Array providers;
  if (user && !user->hash.empty()) providers.push_back(Value("password"));
  if (user) {
    for (const auto& [provider, id] : user->federated) providers.push_back(Value(provider));
  }
  return {200, Value(Value::Map{{"kind", Value("identitykit#CreateAuthUriResponse")},
                                {"registered", Value(user != nullptr)},
                                {"allProviders", Value(std::move(providers))}})};
}

// Development custom tokens are "custom:<uid>": the user is made on first use.
AuthService::Answer AuthService::verifyCustomToken(const Value& body) {
  const std::string token = text(body, "token");
  constexpr std::string_view kPrefix = "custom:";
  if (token.rfind(kPrefix, 0) != 0 || token.size() == kPrefix.size()) {
    return Answer::error(
        "INVALID_CUSTOM_TOKEN : A development custom token is \"custom:\" and the user ID");
  }
  const std::string uid = token.substr(kPrefix.size());
  UserRecord& user = users_[uid];
  user.uid = uid;
  if (user.disabled) return Answer::error("USER_DISABLED");
  save();
  Value::Map answer = issueTokens(user, false);
  answer["kind"] = Value("identitykit#VerifyCustomTokenResponse");
  return {200, Value(std::move(answer))};
}

// A provider's identity is its provider id and access (or ID) token; the user holding it signs
// in, an "idToken" links it to that user, and otherwise a new user is made.
AuthService::Answer AuthService::verifyAssertion(const Value& body) {
  std::map<std::string, std::string> post = formFields(text(body, "postBody"));
  const std::string provider = post["providerId"];
  std::string identity = post["access_token"].empty() ? post["id_token"] : post["access_token"];
  if (provider.empty() || identity.empty()) return Answer::error("INVALID_IDP_RESPONSE");
  const std::string federatedId = provider + ":" + identity;
  UserRecord* user = nullptr;
  for (auto& [uid, record] : users_) {
    auto found = record.federated.find(provider);
    if (found != record.federated.end() && found->second == federatedId) user = &record;
  }
  if (!text(body, "idToken").empty()) {
    Answer refusal;
    UserRecord* linking = userByToken(body, refusal);
    if (!linking) return refusal;
    if (user && user != linking) return Answer::error("FEDERATED_USER_ID_ALREADY_LINKED");
    user = linking;
  }
  if (!user) {
    UserRecord created;
    created.uid = "dz-user-" + std::to_string(nextUid_++);
    user = &(users_[created.uid] = std::move(created));
  }
  if (user->disabled) return Answer::error("USER_DISABLED");
  user->federated[provider] = federatedId;
  save();
  Value::Map answer = issueTokens(*user, false);
  answer["kind"] = Value("identitykit#VerifyAssertionResponse");
  answer["providerId"] = Value(provider);
  answer["federatedId"] = Value(federatedId);
  return {200, Value(std::move(answer))};
}

AuthService::Answer AuthService::token(const Value& body) {
  if (text(body, "grantType") != "refresh_token") return Answer::error("INVALID_GRANT_TYPE");
  auto found = refreshTokens_.find(text(body, "refreshToken"));
  if (found == refreshTokens_.end()) return Answer::error("TOKEN_EXPIRED");
  auto user = users_.find(found->second);
  if (user == users_.end()) return Answer::error("USER_NOT_FOUND");
  if (user->second.disabled) return Answer::error("USER_DISABLED");
  refreshTokens_.erase(found);
  return {200, Value(issueTokens(user->second, true))};
}

void AuthService::setTokenLifetime(std::chrono::seconds lifetime) {
  platform::MutexLock lock(mutex_);
  settings_.tokenLifetime = lifetime;
}

void AuthService::revokeTokens(const std::string& email) {
  platform::MutexLock lock(mutex_);
  UserRecord* user = userByEmail(email);
  if (!user) return;
  user->tokensValidAfterMs = nowMs() + 1;
  const std::string uid = user->uid;
  std::erase_if(refreshTokens_, [&](const auto& entry) { return entry.second == uid; });
}

void AuthService::disableUser(const std::string& email, bool disabled) {
  platform::MutexLock lock(mutex_);
  if (UserRecord* user = userByEmail(email)) user->disabled = disabled;
  save();
}

void AuthService::injectError(const std::string& endpoint, const std::string& message) {
  platform::MutexLock lock(mutex_);
  injectedErrors_[endpoint] = message;
}

void AuthService::delayResponses(const std::string& endpoint, std::chrono::milliseconds delay) {
  platform::MutexLock lock(mutex_);
  delays_[endpoint] = delay;
}

void AuthService::dropRequests(const std::string& endpoint, bool drop) {
  platform::MutexLock lock(mutex_);
  drops_[endpoint] = drop;
}

std::optional<std::string> AuthService::issueAccessToken(const std::string& email) {
  platform::MutexLock lock(mutex_);
  UserRecord* user = userByEmail(email);
  if (!user) return std::nullopt;
  return signAccessToken(*user);
}

std::optional<std::string> AuthService::uidForEmail(const std::string& email) const {
  platform::MutexLock lock(mutex_);
  for (const auto& [uid, user] : users_) {
    if (user.email == email) return uid;
  }
  return std::nullopt;
}

size_t AuthService::userCount() const {
  platform::MutexLock lock(mutex_);
  return users_.size();
}

size_t AuthService::requestCount(const std::string& endpoint) const {
  platform::MutexLock lock(mutex_);
  if (!endpoint.empty()) {
    auto found = counts_.find(endpoint);
    return found == counts_.end() ? 0 : found->second;
  }
  size_t total = 0;
  for (const auto& [name, count] : counts_) total += count;
  return total;
}

std::vector<std::pair<std::string, Value>> AuthService::requests() const {
  platform::MutexLock lock(mutex_);
  return received_;
}

std::map<std::string, std::string> AuthService::lastRequestHeaders() const {
  platform::MutexLock lock(mutex_);
  return lastHeaders_;
}

void AuthService::save() const {
  if (settings_.usersFile.empty()) return;
  Value::Array list;
  for (const auto& [uid, user] : users_) {
    Value::Map federated;
    for (const auto& [provider, id] : user.federated) federated[provider] = Value(id);
    list.push_back(Value(Value::Map{{"uid", Value(user.uid)},
                                    {"email", Value(user.email)},
                                    {"salt", Value(platform::base64Encode(user.salt))},
                                    {"hash", Value(platform::base64Encode(user.hash))},
                                    {"displayName", Value(user.displayName)},
                                    {"photoUrl", Value(user.photoUrl)},
                                    {"emailVerified", Value(user.emailVerified)},
                                    {"disabled", Value(user.disabled)},
                                    {"federated", Value(std::move(federated))}}));
  }
  Value file(Value::Map{{"nextUid", Value(static_cast<int64_t>(nextUid_))},
                        {"users", Value(std::move(list))}});
  platform::FileManager::writeAtomically(settings_.usersFile, file.toJsonString());
}

void AuthService::load() {
  if (settings_.usersFile.empty()) return;
  std::optional<std::string> bytes = platform::FileManager::readFile(settings_.usersFile);
  std::optional<Value> file = bytes ? Value::parseJson(*bytes) : std::nullopt;
  if (!file) return;
  nextUid_ = static_cast<uint64_t>(std::max<int64_t>(1, (*file)["nextUid"].getInt().value_or(1)));
  const Value::Array* list = (*file)["users"].getArray();
  if (!list) return;
  for (const Value& entry : *list) {
    UserRecord user;
    user.uid = text(entry, "uid");
    if (user.uid.empty()) continue;
    user.email = text(entry, "email");
    user.salt = platform::base64Decode(text(entry, "salt")).value_or("");
    user.hash = platform::base64Decode(text(entry, "hash")).value_or("");
    user.displayName = text(entry, "displayName");
    user.photoUrl = text(entry, "photoUrl");
    user.emailVerified = entry["emailVerified"].getBool().value_or(false);
    user.disabled = entry["disabled"].getBool().value_or(false);
    if (const Value::Map* federated = entry["federated"].getMap()) {
      for (const auto& [provider, id] : *federated) {
        if (const std::string* text = id.getString()) user.federated[provider] = *text;
      }
    }
    users_[user.uid] = std::move(user);
  }
}

}  // namespace dz::devserver
