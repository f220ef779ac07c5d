// Arbitrary text as the authentication server's answer to each of its calls. The first byte picks
// the call (low four bits) and whether the answer came with an error status (high bit); the rest
// is the body. Every call answers once, with a response or an error; an answer is refused only
// when a member the client cannot do without is unusable (checked against a model of that rule
// written here); and no error carries a secret: every member whose name speaks of a token, secret,
// password or hash is redacted at any depth, and no secret's value shows anywhere in the error.
#include <array>
#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "auth/auth_errors.h"
#include "auth/rpc/auth_backend.h"
#include "fuzz/support.h"
#include "platform/wall_clock.h"

namespace {

using dz::ErrorPtr;
using dz::Value;
using dz::fuzz::require;
namespace auth = dz::auth;

constexpr char kRedacted[] = "<redacted>";
constexpr double kNow = 1.0e9;
constexpr double kTenYears = 10.0 * 366 * 24 * 3600;
// Shorter values also occur by chance in the fixed texts around them.
constexpr size_t kShortestCheckedSecret = 6;

// Hands the body to the backend at once, as the answer to whatever it posts.
class TextIssuer : public auth::AuthBackendRPCIssuer {
 public:
  std::string body;
  bool statusError = false;

  void asyncPostToURL(const std::string&, std::string, const std::string&,
                      Completion completion) override {
    completion(body, statusError ? std::make_shared<dz::Error>("status", 400, "HTTP status 400")
                                 : nullptr);
  }
};

// The model's notion of a secret member: the words the server's secret names are made of.
bool secretName(std::string_view key) {
  std::string plain;
  for (unsigned char c : key) {
    if (std::isalnum(c)) plain.push_back(static_cast<char>(std::tolower(c)));
  }
  for (std::string_view word : {"token", "secret", "password", "hash"}) {
    if (plain.find(word) != std::string::npos) return true;
  }
  return false;
}

// A value as it shows inside JSON text, without the quotes of a string.
std::string shown(const Value& value) {
  std::string text = value.toJsonString();
  if (value.isString()) text = text.substr(1, text.size() - 2);
  return text;
}

// The secrets' values (leaves under secret members) and the input with those members redacted.
void splitSecrets(const Value& value, std::vector<std::string>& secrets, bool underSecret) {
  if (const Value::Map* map = value.getMap()) {
    for (const auto& [key, member] : *map) {
      splitSecrets(member, secrets, underSecret || secretName(key));
    }
  } else if (const Value::Array* array = value.getArray()) {
    for (const Value& element : *array) splitSecrets(element, secrets, underSecret);
  } else if (underSecret && !value.isNull()) {
    secrets.push_back(shown(value));
  }
}

Value withoutSecrets(const Value& value) {
  if (const Value::Map* map = value.getMap()) {
    Value::Map copy;
    for (const auto& [key, member] : *map) {
      copy.emplace(key, secretName(key) ? Value(kRedacted) : withoutSecrets(member));
    }
    return copy;
  }
  if (const Value::Array* array = value.getArray()) {
    Value::Array copy;
    for (const Value& element : *array) copy.push_back(withoutSecrets(element));
    return copy;
  }
  return value;
}

void requireRedacted(const Value& value) {
  if (const Value::Map* map = value.getMap()) {
    for (const auto& [key, member] : *map) {
      require(!secretName(key) || member == Value(kRedacted), "a secret member is not redacted");
      requireRedacted(member);
    }
  } else if (const Value::Array* array = value.getArray()) {
    for (const Value& element : *array) requireRedacted(element);
  }
}

void checkError(const ErrorPtr& error, const std::optional<Value>& answer) {
  require(error->domain() == auth::kAuthErrorDomain, "an error outside the public domain");
  std::string attached;
  for (const dz::Error* e = error.get(); e; e = e->underlyingError()) {
    for (const auto& [key, value] : e->userInfo()) {
      if (key == auth::kErrorNameKey) continue;
      requireRedacted(value);
      if (key == auth::kErrorUserInfoDataKey && value.isString() && value.asString() != kRedacted) {
        require(!secretName(value.asString()), "raw text naming a secret is attached");
      }
      attached += value.toJsonString();
    }
  }
  if (!answer) return;
  std::vector<std::string> secrets;
  splitSecrets(*answer, secrets, false);
  const std::string visible = withoutSecrets(*answer).toJsonString();
  for (const std::string& secret : secrets) {
    if (secret.size() < kShortestCheckedSecret || visible.find(secret) != std::string::npos) {
      continue;
    }
    require(attached.find(secret) == std::string::npos, "a secret's value is attached to an error");
  }
}

// ---- The model of which answers are taken ----

const Value* present(const Value::Map& map, std::string_view key) {
  auto found = map.find(key);
  return found == map.end() || found->second.isNull() ? nullptr : &found->second;
}

bool readable(const Value::Map& map, std::string_view key) {
  const Value* member = present(map, key);
  return !member || member->isString();
}

bool usableExpiry(const Value::Map& map, std::string_view key) {
  const Value* member = present(map, key);
  if (!member || !member->isString()) return false;
  const std::string& text = member->asString();
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoll(text) <= static_cast<int64_t>(kTenYears);
}

bool signInTokensReadable(const Value::Map& map) {
  return readable(map, "idToken") && readable(map, "refreshToken");
}

bool accountTaken(const Value::Map& map) {
  const Value* users = present(map, "users");
  if (!users || !users->isArray() || users->asArray().size() != 1) return false;
  const Value::Map* user = users->asArray().front().getMap();
  const Value* id = user ? present(*user, "localId") : nullptr;
  return id && id->isString() && !id->asString().empty();
}

bool tokenAnswerTaken(const Value::Map& map) {
  const Value* access = present(map, "access_token");
  return access && access->isString() && !access->asString().empty() &&
         readable(map, "refresh_token") && usableExpiry(map, "expires_in");
}

bool assertionTaken(const Value::Map& map) {
  const Value* confirm = present(map, "needConfirmation");
  return (confirm && confirm->isBool() && confirm->asBool()) || signInTokensReadable(map);
}

bool alwaysTaken(const Value::Map&) { return true; }

void checkExpiry(const std::optional<double>& expiry) {
  require(!expiry || (*expiry >= kNow && *expiry <= kNow + kTenYears), "an expiry out of range");
}

// ---- The calls ----

struct Call {
  const char* kind;  // empty: no kind check
  std::function<bool(const Value::Map&)> taken;
  // Runs the call; checks a response, and reports the error (null on success).
  std::function<void(std::function<void(ErrorPtr)>)> run;
};

template <typename Response, typename Request>
std::function<void(std::function<void(ErrorPtr)>)> endpoint(
    void (*method)(const Request&, auth::ResponseCallback<Response>), Request request,
    std::function<void(const Response&)> check = nullptr) {
  return [method, request, check](std::function<void(ErrorPtr)> report) {
    method(request, [report, check](std::shared_ptr<Response> response, ErrorPtr error) {
      require((response == nullptr) != (error == nullptr), "not exactly one of response and error");
      if (response && check) check(*response);
      report(error);
    });
  };
}

void checkTokens(const auth::IssuedTokens& tokens) {
  checkExpiry(tokens.approximateExpirationDate);
}

const std::array<Call, 10>& calls() {
  static const auto* table = new std::array<Call, 10>{
      Call{"identitykit#CreateAuthUriResponse", alwaysTaken,
           endpoint(auth::AuthBackend::createAuthURI,
                    auth::CreateAuthURIRequest("a@b.c", "http://localhost/", "key"))},
      Call{"identitykit#DeleteAccountResponse", alwaysTaken,
           [](std::function<void(ErrorPtr)> report) {
             auth::AuthBackend::deleteAccount(auth::DeleteAccountRequest("key", "u", "t"),
                                              [report](ErrorPtr error) { report(error); });
           }},
      Call{"identitykit#GetAccountInfoResponse", accountTaken,
           endpoint<auth::GetAccountInfoResponse>(
               auth::AuthBackend::getAccountInfo, auth::GetAccountInfoRequest("key", "t"),
               [](const auth::GetAccountInfoResponse& response) {
                 require(response.users.size() == 1 && !response.users[0].localID.empty(),
                         "an account without its identifier was taken");
               })},
      Call{"identitykit#GetOobConfirmationCodeResponse", alwaysTaken,
           endpoint(auth::AuthBackend::getOOBConfirmationCode,
                    auth::GetOOBConfirmationCodeRequest::passwordResetRequest("a@b.c", "key"))},
      Call{"identitykit#SetAccountInfoResponse", alwaysTaken,
           endpoint<auth::SetAccountInfoResponse>(
               auth::AuthBackend::setAccountInfo, auth::SetAccountInfoRequest("key"),
               [](const auth::SetAccountInfoResponse& response) { checkTokens(response); })},
      Call{"identitykit#SignupNewUserResponse", signInTokensReadable,
           endpoint<auth::SignUpNewUserResponse>(
               auth::AuthBackend::signUpNewUser, auth::SignUpNewUserRequest("key"),
               [](const auth::SignUpNewUserResponse& response) { checkTokens(response); })},
      Call{"identitykit#VerifyAssertionResponse", assertionTaken,
           endpoint<auth::VerifyAssertionResponse>(
               auth::AuthBackend::verifyAssertion,
               [] {
                 auth::VerifyAssertionRequest request("key", "github.com");
                 request.providerAccessToken = "a";
                 return request;
               }(),
               [](const auth::VerifyAssertionResponse& response) { checkTokens(response); })},
      Call{"identitykit#VerifyCustomTokenResponse", signInTokensReadable,
           endpoint<auth::VerifyCustomTokenResponse>(
               auth::AuthBackend::verifyCustomToken, auth::VerifyCustomTokenRequest("t", "key"),
               [](const auth::VerifyCustomTokenResponse& response) { checkTokens(response); })},
      Call{"identitykit#VerifyPasswordResponse", signInTokensReadable,
           endpoint<auth::VerifyPasswordResponse>(
               auth::AuthBackend::verifyPassword,
               auth::VerifyPasswordRequest("a@b.c", "pw", "key"),
               [](const auth::VerifyPasswordResponse& response) { checkTokens(response); })},
      Call{"", tokenAnswerTaken,
           endpoint<auth::SecureTokenResponse>(
               auth::AuthBackend::secureToken,
               auth::SecureTokenRequest::refreshRequest("r", "key"),
               [](const auth::SecureTokenResponse& response) {
                 require(!response.accessToken.empty() && response.approximateExpirationDate,
                         "a token answer without an access token or expiry was taken");
                 checkExpiry(response.approximateExpirationDate);
               })},
  };
  return *table;
}

std::shared_ptr<TextIssuer> installIssuer() {
  auto issuer = std::make_shared<TextIssuer>();
  auth::AuthBackend::setDefaultBackendImplementationWithRPCIssuer(issuer);
  dz::platform::setWallClockSource([] { return kNow; });
  return issuer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<TextIssuer> issuer = installIssuer();
  if (size == 0) return 0;
  const Call& call = calls()[data[0] % 16 % calls().size()];
  issuer->statusError = (data[0] & 0x80) != 0;
  issuer->body.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<Value> answer = Value::parseJson(issuer->body);

  int answers = 0;
  ErrorPtr error;
  call.run([&](ErrorPtr e) {
    ++answers;
    error = std::move(e);
  });
  require(answers == 1, "a call did not answer exactly once");
  if (error) checkError(error, answer);

  const Value::Map* map = answer ? answer->getMap() : nullptr;
  if (!issuer->statusError && map) {
    const Value* kind = present(*map, "kind");
    const bool kindMatches =
        !*call.kind || (kind && kind->isString() && kind->asString() == call.kind);
    require((error == nullptr) == (kindMatches && call.taken(*map)),
            error ? "an answer with every essential member usable was refused"
                  : "an answer with an unusable essential member was taken");
  }
  return 0;
}
