// Any text as requests to the development server's authentication endpoints, handled in-process
// as its HTTPS listener hands them over. Every request is answered once, at once, with a JSON
// object of the endpoint's form (tokens and the user id on a sign-in, the error's code and
// message on a refusal); the server accepts no token it did not issue; and a server started
// again from the users file it wrote knows the same users with the same passwords.
//
// Input: one request per line, "<endpoint> <body>" ("token" is the token call; an endpoint
// starting with "/" is the request's whole target). In the body, $ID, $RT and $UID stand for the
// latest access token, refresh token and user id the server handed out.
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support.h"
#include "tools/devserver/auth_service.h"

namespace dz::devserver {
namespace {

using fuzz::require;

constexpr int64_t kServerTimeMs = 1700000000000;
constexpr char kApiKey[] = "fuzz-key";
constexpr char kIdentityKitPrefix[] = "/identitykit/v3/relyingparty/";
// Each check hashes a password twice (a thousand rounds each): the few first are enough.
constexpr size_t kMaxPasswordChecks = 1;

const std::set<std::string> kSignInEndpoints = {"signupNewUser", "verifyPassword",
                                                "verifyCustomToken", "verifyAssertion"};

AuthSettings settings(const std::filesystem::path& usersFile) {
  AuthSettings settings;
  settings.clockMs = [] { return kServerTimeMs; };
  settings.apiKey = kApiKey;
  settings.usersFile = usersFile;
  return settings;
}

void replaceAll(std::string& text, std::string_view name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
    text.replace(at, name.size(), value);
    at += value.size();
  }
}

bool isDecimal(const Value& value) {
  const std::string* text = value.getString();
  return text && !text->empty() && text->find_first_not_of("0123456789") == std::string::npos;
}

class Session {
 public:
  explicit Session(const std::filesystem::path& usersFile)
      : usersFile_(usersFile), service_(settings(usersFile)) {}

  void request(std::string_view line) {
    const size_t space = line.find(' ');
    const std::string endpoint(line.substr(0, space));
    std::string body(space == std::string_view::npos ? "" : line.substr(space + 1));
    replaceAll(body, "$ID", idToken_);
    replaceAll(body, "$RT", refreshToken_);
    replaceAll(body, "$UID", uid_);
    HttpRequest request{"POST",
                        endpoint.starts_with('/') ? endpoint
                        : endpoint == "token"     ? "/v1/token?key=" + std::string(kApiKey)
                                              : kIdentityKitPrefix + endpoint + "?key=" + kApiKey,
                        body,
                        {}};
    checkTokenOf(body);
    int answers = 0;
    HttpResponse response;
    service_.handle(request, [&](HttpResponse answer) {
      ++answers;
      response = std::move(answer);
    });
    require(answers == 1, "a request was not answered exactly once");
    require(!response.drop && response.delay.count() == 0, "an answer dropped or delayed");
    checkAnswer(endpoint, response);
  }

  // A server started from the users file knows the same users and passwords.
  void checkRestart() {
    AuthService restarted(settings(usersFile_));
    require(restarted.userCount() == service_.userCount(), "a restart lost or made users");
    size_t checked = 0;
    for (const auto& [endpoint, body] : service_.requests()) {
      const std::string* email = body["email"].getString();
      if (!email) continue;
      require(restarted.uidForEmail(*email) == service_.uidForEmail(*email),
              "a restart gave an e-mail to another user");
      if (!body["password"].isString() || checked++ >= kMaxPasswordChecks) continue;
      const std::string check =
          Value(Value::Map{{"email", *email}, {"password", body["password"]}}).toJsonString();
      require(answer(service_, "verifyPassword", check).status ==
                  answer(restarted, "verifyPassword", check).status,
              "a restart changed whether a password signs in");
    }
  }

 private:
  static HttpResponse answer(AuthService& service, const std::string& endpoint,
                             const std::string& body) {
    HttpResponse response;
    service.handle({"POST", kIdentityKitPrefix + endpoint + "?key=" + kApiKey, body, {}},
                   [&](HttpResponse answer) { response = std::move(answer); });
    return response;
  }

  // A token the server never issued is refused.
  void checkTokenOf(const std::string& body) const {
    std::optional<Value> parsed = Value::parseJson(body);
    const std::string* token = parsed ? (*parsed)["idToken"].getString() : nullptr;
    if (!token || issued_.count(*token)) return;
    require(service_.checkCredential(*token).refusal.has_value(),
            "the server accepts a token it did not issue");
  }

  void checkAnswer(const std::string& endpoint, const HttpResponse& response) {
    std::optional<Value> body = Value::parseJson(response.body);
    require(body && body->isMap(), "an answer that is not a JSON object: " + response.body);
    const Value& error = (*body)["error"];
    if (response.status == 404) {
      require(error["message"] == Value("NOT_FOUND"), "a 404 without its message");
      return;
    }
    if (response.status == 400) {
      require(error["code"] == Value(400) && error["message"].isString() &&
                  error["errors"].getArray() && error["errors"].size() == 1,
              "a refusal without its code and message: " + response.body);
      return;
    }
    require(response.status == 200 && error.isNull(), "an answer of another status");
    require(endpoint == "getAccountInfo" || !body->find("passwordHash"),
            "an answer shows a password hash");
    if (endpoint == "token") {
      return signedIn((*body)["id_token"], (*body)["refresh_token"], (*body)["user_id"],
                      (*body)["expires_in"]);
    }
    if (kSignInEndpoints.count(endpoint) || body->find("idToken")) {
      signedIn((*body)["idToken"], (*body)["refreshToken"], (*body)["localId"],
               (*body)["expiresIn"]);
    }
  }

  void signedIn(const Value& idToken, const Value& refreshToken, const Value& uid,
                const Value& expiresIn) {
    require(idToken.isString() && refreshToken.isString() && uid.isString() &&
                !uid.asString().empty() && isDecimal(expiresIn),
            "a sign-in without tokens, user id and lifetime");
    CredentialCheck check = service_.checkCredential(idToken.asString());
    require(!check.refusal && check.uid == uid.asString(),
            "an access token the server issued does not name its user");
    idToken_ = idToken.asString();
    refreshToken_ = refreshToken.asString();
    uid_ = uid.asString();
    issued_.insert(idToken_);
  }

  std::filesystem::path usersFile_;
  AuthService service_;
  std::string idToken_, refreshToken_, uid_;
  std::set<std::string> issued_;
};

}  // namespace
}  // namespace dz::devserver

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path usersFile = dz::fuzz::scratchFolder() / "users.json";
  std::error_code ignored;
  std::filesystem::remove(usersFile, ignored);
  dz::devserver::Session session(usersFile);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start < input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    session.request(input.substr(start, end - start));
    start = end + 1;
  }
  session.checkRestart();
  return 0;
}
