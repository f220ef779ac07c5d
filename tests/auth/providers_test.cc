// Anonymous, custom-token and provider sign-ins, links and unlinks, the provider query, and the
// library's start-up hooks, against the development server.
#include <gtest/gtest.h>

#include "auth/auth_errors.h"
#include "platform/exception.h"
#include "tests/auth/auth_fixture.h"

namespace dz::auth::testing {
namespace {

class ProvidersTest : public AuthServerTest {
 protected:
  void SetUp() override {
    AuthServerTest::SetUp();
    auth_ = Auth::authWithApp(app_);
  }
  Result link(const UserPtr& user, AuthCredentialPtr credential) {
    return run([&](AuthResultCallback done) { user->link(credential, done); });
  }
  AuthPtr auth_;
};

TEST_F(ProvidersTest, AnAnonymousUserIsKeptAndBecomesAPasswordUserWhenLinked) {
  Result first = run([&](AuthResultCallback done) { auth_->signInAnonymously(done); });
  ASSERT_EQ(first.error, nullptr);
  EXPECT_TRUE(first.user->isAnonymous());
  const size_t requests = authServer().requestCount();
  Result again = run([&](AuthResultCallback done) { auth_->signInAnonymously(done); });
  EXPECT_EQ(again.user, first.user);
  EXPECT_EQ(authServer().requestCount(), requests);

  Result linked =
      link(first.user, EmailPasswordAuthProvider::credential("anon@school.dz.test", "secret-1"));
  ASSERT_EQ(linked.error, nullptr);
  EXPECT_FALSE(first.user->isAnonymous());
  EXPECT_TRUE(first.user->hasEmailPasswordCredential());
  Result twice = link(first.user, EmailPasswordAuthProvider::credential("x@school.dz.test", "y"));
  EXPECT_EQ(twice.error->code(), kProviderAlreadyLinked);
}

TEST_F(ProvidersTest, CustomTokensAndProviderCredentialsSignIn) {
  Result custom =
      run([&](AuthResultCallback done) { auth_->signInWithCustomToken("custom:u-7", done); });
  ASSERT_EQ(custom.error, nullptr);
  EXPECT_EQ(custom.user->uid(), "u-7");
  Result bad = run([&](AuthResultCallback done) { auth_->signInWithCustomToken("nope", done); });
  EXPECT_EQ(bad.error->code(), kInvalidCustomToken);
  EXPECT_EQ(bad.error->localizedDescription(),
            "A development custom token is \"custom:\" and the user ID");

  Result github = run([&](AuthResultCallback done) {
    auth_->signInWithCredential(GitHubAuthProvider::credential("gh-token"), done);
  });
  ASSERT_EQ(github.error, nullptr);
  auto providers = github.user->providerData();
  ASSERT_EQ(providers.size(), 1u);
  EXPECT_EQ(providers[0].providerID(), "github.com");
  EXPECT_EQ(link(github.user, GitHubAuthProvider::credential("other")).error->code(),
            kProviderAlreadyLinked);
  ASSERT_EQ(link(github.user, TwitterAuthProvider::credential("tw", "secret")).error, nullptr);
  EXPECT_EQ(github.user->providerData().size(), 2u);

  Result unlinked = run([&](AuthResultCallback done) { github.user->unlink("github.com", done); });
  ASSERT_EQ(unlinked.error, nullptr);
  ASSERT_EQ(github.user->providerData().size(), 1u);
  EXPECT_EQ(github.user->providerData()[0].providerID(), "twitter.com");
  EXPECT_THROW(GitHubAuthProvider::credential(""), Exception);
}

TEST_F(ProvidersTest, ProviderAnswersWithoutAProviderAndCredentialsWithoutTokensAreRefused) {
  try {
    ProviderTokenAuthCredential("github.com", "", "", "secret");
    ADD_FAILURE() << "a credential without tokens was made";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Either IDToken or accessToken must be supplied.");
  }

  // The refusal of an answer that names no provider carries that answer, tokens redacted.
  auto issuer = std::make_shared<ScriptedIssuer>();
  AuthBackend::setDefaultBackendImplementationWithRPCIssuer(issuer);
  issuer->answer(R"({"kind":"identitykit#VerifyAssertionResponse","localId":"u-1",
                     "idToken":"SECRET","refreshToken":"SECRET","expiresIn":"3600"})");
  Result result = run([&](AuthResultCallback done) {
    auth_->signInWithCredential(GitHubAuthProvider::credential("gh"), done);
  });
  ASSERT_NE(result.error, nullptr);
  EXPECT_EQ(result.error->code(), kInternalError);
  const Error* cause = result.error->underlyingError();
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->code(), kUnexpectedResponse);
  const Value& answer = cause->userInfo().at(kErrorUserInfoDeserializedResponseKey);
  EXPECT_EQ(answer["localId"], Value("u-1"));
  EXPECT_EQ(answer["idToken"], Value("<redacted>"));
  EXPECT_EQ(auth_->currentUser(), nullptr);
}

TEST_F(ProvidersTest, TheProviderQueryAndPasswordResetReachTheServer) {
  signUp(auth_, "ann@school.dz.test");
  bool done = false;
  auth_->fetchProvidersForEmail("ann@school.dz.test",
                                [&](std::optional<std::vector<std::string>> providers, ErrorPtr) {
                                  EXPECT_EQ(providers, std::vector<std::string>{"password"});
                                  done = true;
                                });
  ASSERT_TRUE(waitFor([&] { return done; }));
  EXPECT_EQ(runError([&](ErrorCompletion d) {
              auth_->sendPasswordResetWithEmail("ann@school.dz.test", d);
            }),
            nullptr);
  EXPECT_EQ(runError([&](ErrorCompletion d) {
              auth_->sendPasswordResetWithEmail("bob@school.dz.test", d);
            })->code(),
            kUserNotFound);
}

TEST_F(ProvidersTest, ConfiguredAppsGetTheirAuthAndDeletedAppsLoseTheirStoredUser) {
  registerAuthLibrary();
  signUp(auth_, "ann@school.dz.test");
  const std::string name = app_->name();
  AuthKeychain keychain("dezuvura_auth_" + app_->options().vivuroAppID);
  ErrorPtr error;
  ASSERT_TRUE(keychain.dataForKey(name + "_dezuvura_user", error));

  bool announced = false;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      kAuthStateDidChangeNotification, nullptr, nullptr,
      [&](const platform::Notification& n) { announced |= n.sender == nullptr; });
  app_->deleteApp();
  ASSERT_TRUE(waitFor([&] { return announced; }));
  platform::NotificationCenter::defaultCenter().removeObserver(observer);
  EXPECT_EQ(keychain.dataForKey(name + "_dezuvura_user", error), std::nullopt);

  // A newly configured app gets its Auth, and with it a token getter, from the announcement:
  // the getter answers later on the main queue, where an app without one answers at once.
  app_ = makeApp();
  std::optional<std::string> token = "unset";
  bool answered = false;
  app_->getTokenForcingRefresh(false, [&](std::optional<std::string> t, ErrorPtr) {
    token = t;
    answered = true;
  });
  EXPECT_FALSE(answered);
  ASSERT_TRUE(waitFor([&] { return answered; }));
  EXPECT_EQ(token, std::nullopt);
}

}  // namespace
}  // namespace dz::auth::testing
