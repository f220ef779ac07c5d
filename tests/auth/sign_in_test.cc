// Sign-up, sign-in and sign-out against the development server's authentication endpoints.
#include <gtest/gtest.h>

#include <thread>

#include "auth/auth_errors.h"
#include "core/logger.h"
#include "platform/bundle.h"
#include "platform/exception.h"
#include "tests/auth/auth_fixture.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/scoped_environment.h"

namespace dz::auth::testing {
namespace {

class SignInTest : public AuthServerTest {};

TEST_F(SignInTest, SignUpSignOutAndSignInAgainAnnounceEveryChangeBeforeTheCompletion) {
  AuthPtr auth = Auth::authWithApp(app_);
  std::vector<std::string> seen;  // main queue only
  auto& center = platform::NotificationCenter::defaultCenter();
  auto internal = center.addObserver(
      core::kAuthStateDidChangeInternalNotification, app_.get(), nullptr,
      [&](const platform::Notification& n) {
        seen.push_back(n.userInfo.count(core::kAuthStateDidChangeInternalNotificationTokenKey)
                           ? "internal token"
                           : "internal none");
      });
  auth->addAuthStateDidChangeListener([&](const AuthPtr&, UserPtr user) {
    seen.push_back(user ? "listener " + *user->email() : "listener none");
  });
  ASSERT_TRUE(waitFor([&] { return seen.size() == 1; }));
  EXPECT_EQ(seen[0], "listener none");

  Result created = run([&](AuthResultCallback done) {
    auth->createUserWithEmail("ann@school.dz.test", "secret-1", [&, done](UserPtr u, ErrorPtr e) {
      seen.push_back("completion");
      done(u, e);
    });
  });
  ASSERT_EQ(created.error, nullptr) << created.error->localizedDescription();
  EXPECT_EQ(created.user->uid(), authServer().uidForEmail("ann@school.dz.test"));
  EXPECT_EQ(auth->currentUser(), created.user);
  EXPECT_FALSE(created.user->isAnonymous());
  EXPECT_TRUE(created.user->hasEmailPasswordCredential());
  EXPECT_EQ(seen, (std::vector<std::string>{"listener none", "internal token",
                                            "listener ann@school.dz.test", "completion"}));

  seen.clear();
  EXPECT_TRUE(auth->signOut());
  drainMain();
  EXPECT_EQ(auth->currentUser(), nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"internal none", "listener none"}));
  seen.clear();
  EXPECT_TRUE(auth->signOut());  // nobody signed in: nothing posted
  drainMain();
  EXPECT_TRUE(seen.empty());

  Result signedIn = run([&](AuthResultCallback done) {
    auth->signInWithEmail("ann@school.dz.test", "secret-1", done);
  });
  ASSERT_EQ(signedIn.error, nullptr);
  EXPECT_EQ(signedIn.user->uid(), created.user->uid());
  EXPECT_NE(signedIn.user, created.user);
  center.removeObserver(internal);
}

TEST_F(SignInTest, ServerRefusalsReachTheCompletionAndKeepThePreviousUser) {
  AuthPtr auth = Auth::authWithApp(app_);
  UserPtr ann = signUp(auth, "ann@school.dz.test");
  ASSERT_NE(ann, nullptr);

  auto failure = [&](const std::function<void(AuthResultCallback)>& start) {
    Result result = run(start);
    EXPECT_EQ(result.user, nullptr);
    EXPECT_EQ(auth->currentUser(), ann);
    return result.error ? result.error->code() : 0;
  };
  EXPECT_EQ(
      failure([&](auto done) { auth->signInWithEmail("ann@school.dz.test", "wrong!", done); }),
      kWrongPassword);
  EXPECT_EQ(failure([&](auto done) {
              auth->createUserWithEmail("ann@school.dz.test", "x2345678", done);
            }),
            kEmailAlreadyInUse);
  EXPECT_EQ(
      failure([&](auto done) { auth->signInWithEmail("bob@school.dz.test", "secret-1", done); }),
      kUserNotFound);
  EXPECT_EQ(
      failure([&](auto done) { auth->createUserWithEmail("bob@school.dz.test", "abc", done); }),
      kWeakPassword);
  authServer().disableUser("ann@school.dz.test");
  EXPECT_EQ(
      failure([&](auto done) { auth->signInWithEmail("ann@school.dz.test", "secret-1", done); }),
      kUserDisabled);
  authServer().disableUser("ann@school.dz.test", false);
  authServer().injectError("verifyPassword", "TOO_MANY_ATTEMPTS_TRY_LATER : wait");
  EXPECT_EQ(
      failure([&](auto done) { auth->signInWithEmail("ann@school.dz.test", "secret-1", done); }),
      kTooManyRequests);

  // The server down: a network error, and the signed-in user is kept, tokens and all.
  const std::string refresh = ann->refreshToken();
  authServer().dropRequests("");
  EXPECT_EQ(
      failure([&](auto done) { auth->signInWithEmail("ann@school.dz.test", "secret-1", done); }),
      kNetworkError);
  EXPECT_EQ(ann->refreshToken(), refresh);
}

// The real server's answers, with "expiresIn" turned into a JSON number on the way back.
class NumericExpiryIssuer : public AuthBackendRPCIssuer {
 public:
  void asyncPostToURL(const std::string& url, std::string body, const std::string& contentType,
                      Completion completion) override {
    real_.asyncPostToURL(url, std::move(body), contentType,
                         [completion](std::optional<std::string> data, ErrorPtr error) {
                           std::optional<Value> answer =
                               data ? Value::parseJson(*data) : std::nullopt;
                           if (answer && answer->isMap() && (*answer)["expiresIn"].isString()) {
                             Value::Map map = answer->asMap();
                             map["expiresIn"] = Value(std::stoll(map["expiresIn"].asString()));
                             data = Value(std::move(map)).toJsonString();
                           }
                           completion(data, error);
                         });
  }

 private:
  AuthBackendRPCIssuerImplementation real_;
};

TEST_F(SignInTest, ANumericExpiryStillSignsInAndTheRefreshTokenIsExchanged) {
  AuthBackend::setDefaultBackendImplementationWithRPCIssuer(
      std::make_shared<NumericExpiryIssuer>());
  AuthPtr auth = Auth::authWithApp(app_);
  UserPtr ann = signUp(auth, "ann@school.dz.test");
  ASSERT_NE(ann, nullptr);
  EXPECT_EQ(auth->currentUser(), ann);
  EXPECT_EQ(ann->uid(), authServer().uidForEmail("ann@school.dz.test"));
  // Without an expiry the answer's access token is not trusted: the refresh token is exchanged.
  EXPECT_EQ(authServer().requestCount("token"), 1u);

  Result signedIn = run([&](AuthResultCallback done) {
    auth->signInWithEmail("ann@school.dz.test", "secret-1", done);
  });
  ASSERT_EQ(signedIn.error, nullptr) << signedIn.error->localizedDescription();
  EXPECT_EQ(signedIn.user->uid(), ann->uid());
}

// The server performs the sign-up and its answer is lost with the connection: the request is
// sent once, and the caller learns of a network error rather than of an address already in use.
TEST_F(SignInTest, ARequestWhoseAnswerIsLostIsSentOnceAndFailsAsANetworkError) {
  AuthPtr auth = Auth::authWithApp(app_);
  ASSERT_NE(signUp(auth, "ann@school.dz.test"), nullptr);  // leaves a connection open for reuse
  authServer().dropRequests("signupNewUser");
  Result lost = run([&](AuthResultCallback done) {
    auth->createUserWithEmail("bob@school.dz.test", "secret-1", done);
  });
  ASSERT_NE(lost.error, nullptr);
  EXPECT_EQ(lost.error->code(), kNetworkError);
  EXPECT_EQ(authServer().requestCount("signupNewUser"), 2u);
  EXPECT_TRUE(authServer().uidForEmail("bob@school.dz.test").has_value());
}

TEST_F(SignInTest, RequestsNameTheAppAndItsLanguage) {
  platform::Bundle& bundle = platform::Bundle::main();
  const std::filesystem::path resources = bundle.resourcePath();
  std::filesystem::create_directories(sandbox_.root() / "Resources" / "de.lproj");
  std::filesystem::create_directories(sandbox_.root() / "Resources" / "fr.lproj");
  bundle.setResourcePath(sandbox_.root() / "Resources");
  bundle.setInfoValue(platform::kBundleDevelopmentRegionKey, Value("de"));
  AuthPtr auth = Auth::authWithApp(app_);

  dz::testing::ScopedEnvironment french("LANGUAGE", "fr_CH.UTF-8:de");
  signUp(auth, "ann@school.dz.test");
  auto headers = authServer().lastRequestHeaders();
  EXPECT_EQ(headers["accept-language"], "fr");
  EXPECT_EQ(headers["x-ios-bundle-identifier"], bundle.bundleIdentifier());
  EXPECT_EQ(headers["user-agent"].rfind("DezuvuraAuth.iOS/3.0.6 " + bundle.bundleIdentifier(), 0),
            0u);
  dz::testing::ScopedEnvironment japanese("LANGUAGE", "ja");
  signUp(auth, "bob@school.dz.test");
  EXPECT_EQ(authServer().lastRequestHeaders()["accept-language"], "de");

  // An app without localizations sends no language.
  std::filesystem::remove_all(sandbox_.root() / "Resources");
  bundle.setResourcePath(sandbox_.root() / "Resources");
  signUp(auth, "cy@school.dz.test");
  EXPECT_EQ(authServer().lastRequestHeaders().count("accept-language"), 0u);

  bundle.setResourcePath(resources);
}

TEST_F(SignInTest, MisuseIsRefusedOnTheCallersThread) {
  AuthPtr auth = Auth::authWithApp(app_);
  EXPECT_THROW(auth->sendPasswordResetWithEmail(""), Exception);
  EXPECT_THROW(auth->addAuthStateDidChangeListener(nullptr), Exception);
  EXPECT_THROW(globalWorkQueue()->sync([&] { auth->signOut(); }), Exception);
  EXPECT_EQ(authServer().requestCount(), 0u);
}

// Empty texts are no misuse: they go to the server, whose refusal reaches the completion.
TEST_F(SignInTest, EmptyEmailsPasswordsAndTokensAreRefusedByTheServer) {
  AuthPtr auth = Auth::authWithApp(app_);
  ASSERT_NE(signUp(auth, "ann@school.dz.test"), nullptr);
  auto refusal = [&](const std::function<void(AuthResultCallback)>& start) {
    Result result = run(start);
    EXPECT_EQ(result.user, nullptr);
    return result.error ? result.error->code() : 0;
  };
  const size_t before = authServer().requestCount();
  EXPECT_EQ(refusal([&](auto done) { auth->signInWithEmail("", "secret-1", done); }),
            kInvalidEmail);
  EXPECT_EQ(refusal([&](auto done) { auth->signInWithEmail("ann@school.dz.test", "", done); }),
            kWrongPassword);
  EXPECT_EQ(refusal([&](auto done) { auth->createUserWithEmail("", "secret-1", done); }),
            kInvalidEmail);
  EXPECT_EQ(refusal([&](auto done) { auth->createUserWithEmail("bob@school.dz.test", "", done); }),
            kWeakPassword);
  EXPECT_EQ(refusal([&](auto done) { auth->signInWithCustomToken("", done); }),
            kInvalidCustomToken);
  EXPECT_EQ(authServer().requestCount(), before + 5);
  EXPECT_EQ(authServer().userCount(), 1u);
}

TEST_F(SignInTest, TheUserSurvivesARestartThroughTheKeychain) {
  UserPtr ann = signUp(Auth::authWithApp(app_), "ann@school.dz.test");
  const size_t requests = authServer().requestCount();

  // A new process: the key chain as this one left it, the app configured again.
  const std::string name = app_->name();
  ErrorPtr error;
  std::optional<std::string> stored = keychain().dataForKey(userKey(name), error);
  ASSERT_TRUE(stored);
  app_->deleteApp();
  globalWorkQueue()->sync([] {});
  ASSERT_EQ(keychain().setData(*stored, userKey(name)), nullptr);
  app_ = makeApp(std::nullopt, name);
  AuthPtr restarted = Auth::authWithApp(app_);
  ASSERT_NE(restarted->currentUser(), nullptr);
  EXPECT_EQ(restarted->currentUser()->uid(), ann->uid());
  EXPECT_EQ(restarted->currentUser()->email(), "ann@school.dz.test");
  EXPECT_EQ(restarted->currentUser()->refreshToken(), ann->refreshToken());
  EXPECT_EQ(authServer().requestCount(), requests);  // restored without a request
  UserPtr heard;
  restarted->addAuthStateDidChangeListener([&](const AuthPtr&, UserPtr user) { heard = user; });
  ASSERT_TRUE(waitFor([&] { return heard != nullptr; }));
  EXPECT_EQ(heard, restarted->currentUser());
}

TEST_F(SignInTest, AStoredUserThatCannotBeDecodedMeansSignedOut) {
  const std::string name = nextAppName();
  ASSERT_EQ(keychain().setData(R"({"not":"a user"})", userKey(name)), nullptr);
  dz::testing::StderrCapture log(core::flushLog);
  core::AppPtr app = makeApp(std::nullopt, name);
  AuthPtr auth = Auth::authWithApp(app);
  EXPECT_EQ(auth->currentUser(), nullptr);
  EXPECT_NE(log.text().find("I-AUT000001"), std::string::npos);
  ErrorPtr error;
  EXPECT_EQ(keychain().dataForKey(userKey(name), error), std::nullopt);
  EXPECT_EQ(error, nullptr);
  app->deleteApp();
}

TEST_F(SignInTest, AKeychainThatCannotBeWrittenFailsTheSignInAndKeepsThePreviousUser) {
  AuthPtr auth = Auth::authWithApp(app_);
  UserPtr ann = signUp(auth, "ann@school.dz.test");
  // The key chain's file cannot be replaced once a folder stands in its place.
  const auto file = platform::Keychain::standard()->file();
  std::filesystem::remove(file);
  std::filesystem::create_directories(file / "blocker");
  Result result = run([&](AuthResultCallback done) {
    auth->createUserWithEmail("bob@school.dz.test", "secret-1", done);
  });
  ASSERT_NE(result.error, nullptr);
  EXPECT_EQ(result.error->code(), kKeychainError);
  EXPECT_EQ(auth->currentUser(), ann);
  ErrorPtr signOutError;
  EXPECT_FALSE(auth->signOut(&signOutError));
  EXPECT_EQ(signOutError->code(), kKeychainError);
  EXPECT_EQ(auth->currentUser(), ann);
}

TEST_F(SignInTest, CurrentUserIsSafeToReadWhileItChanges) {
  AuthPtr auth = Auth::authWithApp(app_);
  std::atomic<bool> stop{false};
  std::atomic<size_t> reads{0};
  std::thread reader([&] {
    while (!stop) {
      if (UserPtr user = auth->currentUser()) reads += user->uid().empty() ? 0 : 1;
    }
  });
  for (int i = 0; i < 3; ++i) {
    signUp(auth, "user" + std::to_string(i) + "@school.dz.test");
    auth->signOut();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(auth->currentUser(), nullptr);
}

}  // namespace
}  // namespace dz::auth::testing
