// The user's tokens and account changes against the development server.
#include <gtest/gtest.h>

#include "auth/auth_errors.h"
#include "auth/user_profile_change_request.h"
#include "platform/exception.h"
#include "tests/auth/auth_fixture.h"

namespace dz::auth::testing {
namespace {

class UserTest : public AuthServerTest {
 protected:
  void SetUp() override {
    AuthServerTest::SetUp();
    auth_ = Auth::authWithApp(app_);
    user_ = signUp(auth_, "ann@school.dz.test");
    ASSERT_NE(user_, nullptr);
  }
  std::optional<std::string> token(bool force = false) {
    bool done = false;
    std::optional<std::string> result;
    user_->getTokenForcingRefresh(force, [&](std::optional<std::string> token, ErrorPtr error) {
      EXPECT_EQ(error, nullptr);
      result = token;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return result;
  }
  std::vector<std::string> endpoints() {
    std::vector<std::string> names;
    for (const auto& [endpoint, body] : authServer().requests()) names.push_back(endpoint);
    return names;
  }

  AuthPtr auth_;
  UserPtr user_;
};

TEST_F(UserTest, TheTokenIsRefreshedOnlyWhenAtMostThreeHundredSecondsRemain) {
  const std::string first = *token();
  const double expiry = *user_->tokenService()->accessTokenExpirationDate();
  const size_t refreshes = authServer().requestCount("token");
  clientSkewSeconds_ = expiry - clientSeconds() - 301;  // 301 s left: kept
  EXPECT_EQ(token(), first);
  EXPECT_EQ(authServer().requestCount("token"), refreshes);

  std::vector<std::string> announced;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      core::kAuthStateDidChangeInternalNotification, app_.get(), nullptr,
      [&](const platform::Notification& n) {
        announced.push_back(
            n.userInfo.at(core::kAuthStateDidChangeInternalNotificationTokenKey).asString());
      });
  clientSkewSeconds_ = clientSkewSeconds_ + 1.5;  // under 300 s left: exchanged
  const std::string second = *token();
  EXPECT_NE(second, first);
  EXPECT_EQ(authServer().requestCount("token"), refreshes + 1);
  EXPECT_GT(*user_->tokenService()->accessTokenExpirationDate(), expiry);
  EXPECT_EQ(announced, std::vector<std::string>{second});  // before the completion ran
  platform::NotificationCenter::defaultCenter().removeObserver(observer);

  // The refreshed tokens are what a restart finds in the key chain.
  ErrorPtr error;
  std::optional<std::string> stored = keychain().dataForKey(userKey(app_->name()), error);
  ASSERT_TRUE(stored);
  EXPECT_NE(stored->find(second), std::string::npos);
}

TEST_F(UserTest, RevokedTokensFailTheRefreshWithoutSigningOut) {
  authServer().revokeTokens("ann@school.dz.test");
  bool done = false;
  ErrorPtr error;
  user_->getTokenForcingRefresh(true, [&](std::optional<std::string>, ErrorPtr e) {
    error = e;
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return done; }));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), kUserTokenExpired);
  EXPECT_EQ(auth_->currentUser(), user_);
}

TEST_F(UserTest, TwoAccountUpdatesRunOneAfterTheOther) {
  authServer().delayResponses("setAccountInfo", std::chrono::milliseconds(150));
  const size_t before = authServer().requests().size();
  int finished = 0;
  user_->updateEmail("ann@work.dz.test", [&](ErrorPtr error) {
    EXPECT_EQ(error, nullptr);
    ++finished;
  });
  user_->updatePassword("new-secret", [&](ErrorPtr error) {
    EXPECT_EQ(error, nullptr);
    ++finished;
  });
  ASSERT_TRUE(waitFor([&] { return finished == 2; }));
  std::vector<std::string> sequence = endpoints();
  sequence.erase(sequence.begin(), sequence.begin() + before);
  std::erase(sequence, "token");
  EXPECT_EQ(sequence, (std::vector<std::string>{"getAccountInfo", "setAccountInfo",
                                                "getAccountInfo", "setAccountInfo"}));
  EXPECT_EQ(user_->email(), "ann@work.dz.test");
  Result signedIn = run([&](AuthResultCallback done) {
    auth_->signInWithEmail("ann@work.dz.test", "new-secret", done);
  });
  EXPECT_EQ(signedIn.error, nullptr);
}

TEST_F(UserTest, ProfileChangesReachTheServerAndTheLocalUserAlike) {
  auto change = user_->profileChangeRequest();
  change->setDisplayName("Ann");
  change->setPhotoURL("https://pictures.dz.test/ann.png");
  EXPECT_EQ(runError([&](ErrorCompletion done) { change->commitChanges(done); }), nullptr);
  EXPECT_EQ(user_->displayName(), "Ann");
  EXPECT_THROW(change->setDisplayName("Again"), Exception);
  EXPECT_THROW(change->commitChanges(), Exception);

  // Removing the name removes it on the server too, so a reload keeps it removed.
  auto removal = user_->profileChangeRequest();
  removal->setDisplayName(std::nullopt);
  EXPECT_EQ(runError([&](ErrorCompletion done) { removal->commitChanges(done); }), nullptr);
  EXPECT_EQ(user_->displayName(), std::nullopt);
  EXPECT_EQ(runError([&](ErrorCompletion done) { user_->reload(done); }), nullptr);
  EXPECT_EQ(user_->displayName(), std::nullopt);
  EXPECT_EQ(user_->photoURL(), "https://pictures.dz.test/ann.png");

  // A refused change leaves the local profile as it was.
  authServer().injectError("setAccountInfo", "CREDENTIAL_TOO_OLD_LOGIN_AGAIN");
  auto refused = user_->profileChangeRequest();
  refused->setDisplayName("Nope");
  ErrorPtr error = runError([&](ErrorCompletion done) { refused->commitChanges(done); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), kRequiresRecentLogin);
  EXPECT_EQ(user_->displayName(), std::nullopt);

  // Nothing set: nothing sent.
  const size_t requests = authServer().requestCount();
  EXPECT_EQ(
      runError([&](ErrorCompletion done) { user_->profileChangeRequest()->commitChanges(done); }),
      nullptr);
  EXPECT_EQ(authServer().requestCount(), requests);
}

TEST_F(UserTest, AnEmptyEmailOrPasswordChangeIsRefusedByTheServerAndChangesNothing) {
  EXPECT_EQ(runError([&](ErrorCompletion done) { user_->updateEmail("", done); })->code(),
            kInvalidEmail);
  EXPECT_EQ(runError([&](ErrorCompletion done) { user_->updatePassword("", done); })->code(),
            kWeakPassword);
  EXPECT_EQ(user_->email(), "ann@school.dz.test");
  EXPECT_EQ(authServer().requestCount("setAccountInfo"), 2u);
  Result signedIn = run([&](AuthResultCallback done) {
    auth_->signInWithEmail("ann@school.dz.test", "secret-1", done);
  });
  EXPECT_EQ(signedIn.error, nullptr);
}

TEST_F(UserTest, DeletingAUserSignsOutItsOwnApp) {
  core::AppPtr other = makeApp();
  AuthPtr otherAuth = Auth::authWithApp(other);
  UserPtr bob = signUp(otherAuth, "bob@school.dz.test");
  EXPECT_EQ(runError([&](ErrorCompletion done) { bob->deleteUser(done); }), nullptr);
  EXPECT_EQ(otherAuth->currentUser(), nullptr);
  EXPECT_EQ(auth_->currentUser(), user_);
  EXPECT_EQ(authServer().uidForEmail("bob@school.dz.test"), std::nullopt);
  other->deleteApp();
}

TEST_F(UserTest, ReauthenticationAcceptsOnlyTheSameAccount) {
  core::AppPtr other = makeApp();
  signUp(Auth::authWithApp(other), "bob@school.dz.test");
  other->deleteApp();
  auto reauthenticate = [&](AuthCredentialPtr credential) {
    return runError([&](ErrorCompletion done) { user_->reauthenticate(credential, done); });
  };
  EXPECT_EQ(reauthenticate(EmailPasswordAuthProvider::credential("bob@school.dz.test", "secret-1"))
                ->code(),
            kUserMismatch);
  const std::string before = user_->rawAccessToken();
  EXPECT_EQ(reauthenticate(EmailPasswordAuthProvider::credential("ann@school.dz.test", "secret-1")),
            nullptr);
  EXPECT_NE(user_->rawAccessToken(), before);
  EXPECT_EQ(auth_->currentUser(), user_);
  EXPECT_EQ(runError([&](ErrorCompletion done) { user_->sendEmailVerification(done); }), nullptr);
}

TEST_F(UserTest, UnlinkingAProviderTheUserLacksSendsNothing) {
  const size_t requests = authServer().requestCount();
  bool done = false;
  user_->unlink("github.com", [&](UserPtr user, ErrorPtr error) {
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(error->code(), kNoSuchProvider);
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return done; }));
  EXPECT_EQ(authServer().requestCount(), requests);
}

}  // namespace
}  // namespace dz::auth::testing
