// The backend over a scripted issuer: how answers and server messages become results and errors.
#include <gtest/gtest.h>

#include <future>

#include "auth/auth_errors.h"
#include "tests/auth/auth_fixture.h"

namespace dz::auth::testing {
namespace {

class BackendTest : public ScriptedBackendTest {
 protected:
  template <typename Response, typename Request, typename Call>
  std::pair<std::shared_ptr<Response>, ErrorPtr> call(Call method, const Request& request) {
    std::promise<std::pair<std::shared_ptr<Response>, ErrorPtr>> done;
    method(request, [&](std::shared_ptr<Response> response, ErrorPtr error) {
      done.set_value({response, error});
    });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
    return future.get();
  }
  ErrorPtr verifyPasswordError(const std::string& body) {
    issuer_->answerStatus(400, body);
    return call<VerifyPasswordResponse>(AuthBackend::verifyPassword,
                                        VerifyPasswordRequest("a@b.c", "pw", "key"))
        .second;
  }
  ErrorPtr signUpError(const std::string& body) {
    issuer_->answerStatus(400, body);
    return call<SignUpNewUserResponse>(AuthBackend::signUpNewUser,
                                       SignUpNewUserRequest("key", "a@b.c", "pw", ""))
        .second;
  }
  ErrorPtr customTokenError(const std::string& message) {
    issuer_->answerStatus(400, serverError(message));
    return call<VerifyCustomTokenResponse>(AuthBackend::verifyCustomToken,
                                           VerifyCustomTokenRequest("t", "key"))
        .second;
  }
  static std::string serverError(const std::string& message, const std::string& errors = "[]") {
    return R"({"error":{"message":")" + message + R"(","errors":)" + errors + "}}";
  }
};

const Error& internalCause(const ErrorPtr& error) {
  EXPECT_EQ(error->domain(), kAuthErrorDomain);
  EXPECT_EQ(error->code(), kInternalError);
  EXPECT_NE(error->underlyingError(), nullptr);
  return *error->underlyingError();
}

TEST_F(BackendTest, ServerMessagesMapToPublicErrorsByEndpoint) {
  EXPECT_EQ(verifyPasswordError(serverError("INVALID_PASSWORD"))->code(), kWrongPassword);
  EXPECT_EQ(verifyPasswordError(serverError("EMAIL_NOT_FOUND"))->code(), kUserNotFound);
  EXPECT_EQ(verifyPasswordError(serverError("TOO_MANY_ATTEMPTS_TRY_LATER : slow down"))->code(),
            kTooManyRequests);
  EXPECT_EQ(signUpError(serverError("TOO_MANY_ATTEMPTS_TRY_LATER"))->code(), kTooManyRequests);
  EXPECT_EQ(signUpError(serverError("EMAIL_EXISTS"))->code(), kEmailAlreadyInUse);
  ErrorPtr weak = signUpError(serverError("WEAK_PASSWORD : Too short"));
  EXPECT_EQ(weak->code(), kWeakPassword);
  EXPECT_EQ(weak->userInfo().at(kLocalizedFailureReasonKey), Value("Too short"));
  EXPECT_EQ(weak->userInfo().at(kErrorNameKey), Value("ERROR_WEAK_PASSWORD"));

  // Verify-password's own message means nothing on sign-up: internal code 3 with the dictionary.
  ErrorPtr unmapped = signUpError(serverError("INVALID_PASSWORD"));
  const Error& cause = internalCause(unmapped);
  EXPECT_EQ(cause.domain(), kAuthInternalErrorDomain);
  EXPECT_EQ(cause.code(), kUnexpectedErrorResponse);
  EXPECT_EQ(cause.userInfo().at(kErrorUserInfoDeserializedResponseKey)["message"],
            Value("INVALID_PASSWORD"));
}

TEST_F(BackendTest, ReasonsOfTheErrorsArrayDecideUnknownMessages) {
  EXPECT_EQ(
      verifyPasswordError(
          serverError("SOMETHING", R"(["text", {"reason":"other"}, {"reason":"keyInvalid"}])"))
          ->code(),
      kInvalidAPIKey);
  EXPECT_EQ(signUpError(serverError("X", R"([{"reason":"ipRefererBlocked"}])"))->code(),
            kAppNotAuthorized);
}

TEST_F(BackendTest, CustomTokenMessagesCarryTheirExplanation) {
  ErrorPtr plain = customTokenError("INVALID_CUSTOM_TOKEN");
  EXPECT_EQ(plain->code(), kInvalidCustomToken);
  EXPECT_EQ(plain->localizedDescription(),
            "The custom token format is incorrect. Please check the documentation.");
  EXPECT_EQ(customTokenError("INVALID_CUSTOM_TOKEN : bad audience")->localizedDescription(),
            "bad audience");
  EXPECT_EQ(customTokenError("CREDENTIAL_MISMATCH")->code(), kCustomTokenMismatch);
}

TEST_F(BackendTest, UnusableAnswersAreInternalErrors) {
  // A transport failure without data.
  issuer_->answer(std::nullopt, std::make_shared<Error>("network", 7, "refused"));
  auto [none, network] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  EXPECT_EQ(network->code(), kNetworkError);
  EXPECT_EQ(network->underlyingError()->code(), 7);

  // An error status whose body is not JSON keeps the body.
  issuer_->answerStatus(502, "<html>bad gateway</html>");
  auto [_, gateway] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  EXPECT_EQ(internalCause(gateway).code(), kUnexpectedErrorResponse);
  EXPECT_EQ(internalCause(gateway).userInfo().at(kErrorUserInfoDataKey),
            Value("<html>bad gateway</html>"));

  // The wrong kind, however complete the answer.
  issuer_->answer(R"({"kind":"identitykit#VerifyPasswordResponse","idToken":"i",
                      "refreshToken":"r","expiresIn":"3600"})");
  auto [__, kind] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  EXPECT_EQ(internalCause(kind).code(), kUnexpectedResponse);
}

// Everything an error carries besides its fixed texts, underlying errors included.
std::string attachedText(const ErrorPtr& error) {
  std::string attached;
  for (const Error* e = error.get(); e; e = e->underlyingError()) {
    for (const auto& [key, value] : e->userInfo()) attached += value.toJsonString();
    attached += e->localizedDescription();
  }
  return attached;
}

TEST_F(BackendTest, SecretsNeverReachTheErrorsAttachedAnswers) {
  // Answers that fail to read, each carrying secrets under every spelling and at any depth.
  issuer_->answer(R"({"kind":"identitykit#SignupNewUserResponse","idToken":7,
                      "refreshToken":"SECRET-REFRESH","IdToken":"SECRET-CASE"})");
  auto [response, error] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(attachedText(error).find("SECRET"), std::string::npos) << attachedText(error);
  EXPECT_NE(attachedText(error).find("<redacted>"), std::string::npos);

  issuer_->answer(R"({"kind":"identitykit#GetAccountInfoResponse","users":[{"localId":5,
                      "passwordHash":"SECRET-HASH","salt":"SECRET-SALT",
                      "providerUserInfo":[{"providerId":"p","oauth_token_secret":"SECRET-OTS"}]}]})");
  auto [account, accountError] =
      call<GetAccountInfoResponse>(AuthBackend::getAccountInfo, GetAccountInfoRequest("key", "t"));
  ASSERT_NE(accountError, nullptr);
  EXPECT_EQ(attachedText(accountError).find("SECRET"), std::string::npos);

  issuer_->answer(R"({"kind":"other","oauthRequestToken":"SECRET-REQ",
                      "oauthAccessToken":"SECRET-ACC","list":[[{"Refresh-Token":{"a":"SECRET"}}]],
                      "oobCode":"SECRET-OOB","providerId":"github.com"})");
  auto [assertion, assertionError] =
      call<VerifyAssertionResponse>(AuthBackend::verifyAssertion, [] {
        VerifyAssertionRequest request("key", "github.com");
        request.providerAccessToken = "a";
        return request;
      }());
  ASSERT_NE(assertionError, nullptr);
  EXPECT_EQ(attachedText(assertionError).find("SECRET"), std::string::npos);
  // What is no secret stays, for whoever reads the error.
  EXPECT_NE(attachedText(assertionError).find("github.com"), std::string::npos);

  issuer_->answerStatus(400, R"({"error":{"message":7,"idToken":"SECRET"}})");
  auto [_, status] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  EXPECT_EQ(internalCause(status).userInfo().at(kErrorUserInfoDeserializedResponseKey)["idToken"],
            Value("<redacted>"));
  // A string that names a secret goes whole, as a member or in a list.
  issuer_->answerStatus(
      400, R"({"error":{"message":"password=SECRET-71","errors":["refresh_token=SECRET-72"]}})");
  auto [___, named] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(attachedText(named).find("SECRET"), std::string::npos) << attachedText(named);
  // Text that is not JSON goes whole when it names a secret, also where a letter that folds to
  // others ("\u01C5") stands between the letters of one.
  for (const char* body : {"oauth_token_secret=SECRET&x=1", "T\xC7\x85OKEN=x1"}) {
    issuer_->answerStatus(500, body);
    auto [__, text] =
        call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
    EXPECT_EQ(internalCause(text).userInfo().at(kErrorUserInfoDataKey), Value("<redacted>"))
        << body;
  }

  // Names and keys in compatibility forms (full width, mathematical letters, the long s, a
  // full-width colon) are the words they fold to.
  issuer_->answerStatus(400, R"({"error":{"message":7,"ｉｄＴｏｋｅｎ":"SECRET-91",
      "𝐩𝐚𝐬𝐬𝐰𝐨𝐫𝐝":"SECRET-92","ſalt":"SECRET-93","errors":["ｒｅｆｒｅｓｈ_ｔｏｋｅｎ：SECRET-94"]}})");
  auto [____, wide] =
      call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(attachedText(wide).find("SECRET"), std::string::npos) << attachedText(wide);

  // An upper-case condition, " : " and words: the server's explanation, whatever secret the
  // condition is about.
  for (const std::string message :
       {"INVALID_ID_TOKEN : The user's credential is no longer valid.",
        "INVALID_PASSWORD : The password is invalid or the user does not have a password.",
        "SOME_PASSWORD_RULE : Password should be at least 6 characters"}) {
    const std::string body = serverError(message, R"([")" + message + R"("])");
    ErrorPtr kept = signUpError(body);
    EXPECT_EQ(
        internalCause(kept).userInfo().at(kErrorUserInfoDeserializedResponseKey).toJsonString(),
        (*Value::parseJson(body))["error"].toJsonString());
  }
  // Unless what follows the condition is a value rather than words, or names one.
  for (const char* leaky :
       {"INVALID_ID_TOKEN : eyJhbGciOiJSUzI1NiJ9.eyJzdWIiOiIxIn0.c2ln", "REFRESH_TOKEN : Abc",
        "ID_TOKEN : abc.def.ghi", "SOME_PASSWORD_RULE : the password hunter2 is too weak",
        "SOME_PASSWORD_RULE : password: correct horse", "INVALID_PASSWORD : was password=letmein",
        "INVALID_OOB_CODE : code 123456 expired", "INVALID_ID_TOKEN : ｅｙＪｈｂＧｃｉ is bad",
        "INVALID_ID_TOKEN : token eyJhbGciOiJIUzI rejected",
        "INVALID_ID_TOKEN : token abcdefghijklmnopqrstuvwxyzabcdefgh rejected",
        "INVALID_OOB_CODE : code 1234 5678 9012 3456 expired"}) {
    ErrorPtr redacted = signUpError(serverError(leaky));
    EXPECT_EQ(
        internalCause(redacted).userInfo().at(kErrorUserInfoDeserializedResponseKey).toJsonString(),
        R"({"errors":[],"message":"<redacted>"})")
        << leaky;
  }
  // A weak password's reason and a custom token's explanation keep words by the same rule.
  const std::string words = "Password should be at least 6 characters";
  EXPECT_EQ(signUpError(serverError("WEAK_PASSWORD : " + words))
                ->userInfo()
                .at(kLocalizedFailureReasonKey),
            Value(words));
  EXPECT_EQ(customTokenError("INVALID_CUSTOM_TOKEN : " + words)->localizedDescription(), words);
  for (const std::string leaky :
       {"the password hunter2 is too weak", "password: correct horse",
        "abcdefghijklmnopqrstuvwxyzabcdefgh is too weak", "code 1234 5678 9012 3456 expired"}) {
    EXPECT_EQ(signUpError(serverError("WEAK_PASSWORD : " + leaky))
                  ->userInfo()
                  .at(kLocalizedFailureReasonKey),
              Value("<redacted>"))
        << leaky;
    EXPECT_EQ(customTokenError("INVALID_CUSTOM_TOKEN : " + leaky)->localizedDescription(),
              "<redacted>")
        << leaky;
  }
}

TEST_F(BackendTest, OnlyAnUnusableTokenOrAccountIdentifierRefusesAnAnswer) {
  platform::setWallClockSource([] { return 1000.0; });
  auto signUp = [&](const std::string& answer) {
    issuer_->answer(answer);
    return call<SignUpNewUserResponse>(AuthBackend::signUpNewUser, SignUpNewUserRequest("key"));
  };
  const std::string kind = R"("kind":"identitykit#SignupNewUserResponse")";
  auto [good, none] = signUp("{" + kind + R"(,"idToken":"i","expiresIn":"3600"})");
  ASSERT_EQ(none, nullptr);
  EXPECT_EQ(good->approximateExpirationDate, 4600.0);
  // An expiry that is not a decimal string is no expiry: the answer is still taken.
  for (const char* loose : {R"("expiresIn":3600)", R"("expiresIn":"36 00")", R"("expiresIn":"-5")",
                            R"("expiresIn":"1e3")", R"("expiresIn":"99999999999")"}) {
    auto [response, error] =
        signUp("{" + kind + R"(,"idToken":"i","refreshToken":"r",)" + loose + "}");
    ASSERT_EQ(error, nullptr) << loose;
    EXPECT_EQ(response->IDToken, "i");
    EXPECT_EQ(response->refreshToken, "r");
    EXPECT_EQ(response->approximateExpirationDate, std::nullopt) << loose;
  }
  for (const char* bad : {R"("idToken":42)", R"("refreshToken":{"a":1})"}) {
    auto [response, error] = signUp("{" + kind + "," + bad + "}");
    ASSERT_NE(error, nullptr) << bad;
    EXPECT_EQ(internalCause(error).code(), kRPCResponseDecodingError) << bad;
  }

  // Members the client can do without are left unset when of the wrong type.
  issuer_->answer(R"({"kind":"identitykit#VerifyPasswordResponse","idToken":"i","localId":5,
                      "displayName":["x"],"photoUrl":{},"email":"a@b.c"})");
  auto [password, passwordError] = call<VerifyPasswordResponse>(
      AuthBackend::verifyPassword, VerifyPasswordRequest("a@b.c", "pw", "key"));
  ASSERT_EQ(passwordError, nullptr);
  EXPECT_EQ(password->email, "a@b.c");
  EXPECT_EQ(password->displayName, "");
  issuer_->answer(R"({"kind":"identitykit#SetAccountInfoResponse","displayName":"Ann",
                      "idToken":5,"refreshToken":"r","providerUserInfo":[3,{"providerId":"p"}]})");
  auto [change, changeError] =
      call<SetAccountInfoResponse>(AuthBackend::setAccountInfo, SetAccountInfoRequest("key"));
  ASSERT_EQ(changeError, nullptr);
  EXPECT_EQ(change->displayName, "Ann");
  EXPECT_EQ(change->IDToken, "");
  ASSERT_EQ(change->providerUserInfo.size(), 1u);
  issuer_->answer(R"({"kind":"identitykit#CreateAuthUriResponse","registered":"yes",
                      "allProviders":["password",7]})");
  auto [providers, providersError] = call<CreateAuthURIResponse>(
      AuthBackend::createAuthURI, CreateAuthURIRequest("a@b.c", "http://x/", "key"));
  ASSERT_EQ(providersError, nullptr);
  EXPECT_FALSE(providers->registered);
  EXPECT_EQ(providers->allProviders, std::vector<std::string>{"password"});

  // An account without its identifier is not a user with an empty uid.
  for (const char* users : {R"([{"email":"a@b.c"}])", R"([{"localId":""}])",
                            R"([{"localId":"u"},{"localId":"v"}])", R"([{"localId":5}])"}) {
    issuer_->answer(R"({"kind":"identitykit#GetAccountInfoResponse","users":)" +
                    std::string(users) + "}");
    auto [response, error] = call<GetAccountInfoResponse>(AuthBackend::getAccountInfo,
                                                          GetAccountInfoRequest("key", "t"));
    ASSERT_NE(error, nullptr) << users;
  }
  issuer_->answer(R"({"kind":"identitykit#GetAccountInfoResponse","users":[{"localId":"u",
                      "emailVerified":"yes","displayName":7,"providerUserInfo":[5,{"email":1}]}]})");
  auto [account, accountError] =
      call<GetAccountInfoResponse>(AuthBackend::getAccountInfo, GetAccountInfoRequest("key", "t"));
  ASSERT_EQ(accountError, nullptr);
  EXPECT_EQ(account->users.at(0).localID, "u");
  EXPECT_FALSE(account->users.at(0).emailVerified);
  EXPECT_EQ(account->users.at(0).providerUserInfo.size(), 1u);

  // The token answer needs an access token, a readable refresh token and a string expiry, and
  // has no kind.
  for (const char* answer :
       {R"({"access_token":"","expires_in":"3600"})", R"({"access_token":"a","expires_in":3600})",
        R"({"access_token":"a","expires_in":"3600","refresh_token":5})"}) {
    issuer_->answer(answer);
    auto [response, error] = call<SecureTokenResponse>(
        AuthBackend::secureToken, SecureTokenRequest::refreshRequest("r", "key"));
    EXPECT_NE(error, nullptr) << answer;
  }
  issuer_->answer(R"({"access_token":"a","expires_in":"3600","id_token":5})");
  auto [token, tokenError] = call<SecureTokenResponse>(
      AuthBackend::secureToken, SecureTokenRequest::refreshRequest("r", "key"));
  EXPECT_EQ(tokenError, nullptr);
}

TEST_F(BackendTest, EncodingFailuresAreReportedBeforeAnythingIsSent) {
  VerifyAssertionRequest withoutTokens("key", "github.com");
  auto [response, error] =
      call<VerifyAssertionResponse>(AuthBackend::verifyAssertion, withoutTokens);
  EXPECT_EQ(internalCause(error).code(), kRPCRequestEncodingError);
  EXPECT_TRUE(issuer_->posts().empty());
}

}  // namespace
}  // namespace dz::auth::testing
