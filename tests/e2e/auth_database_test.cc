// Authentication and the database of one app against one development server: the database
// authenticates with the signed-in user's token, follows its refreshes, unauthenticates at
// sign-out, and refreshes a token the server finds expired before it reconnects.
#include <gtest/gtest.h>

#include "database/api/database.h"
#include "tests/auth/auth_fixture.h"

namespace dz::e2e {
namespace {

using auth::AuthPtr;
using auth::UserPtr;
using auth::testing::waitFor;

class AuthDatabaseTest : public auth::testing::AuthServerTest {
 protected:
  void SetUp() override {
    registerHooks_ = false;
    AuthServerTest::SetUp();
    app_->deleteApp();
    app_ = makeApp(server_->databaseUrl());
    auth_ = auth::Auth::authWithApp(app_);
    database_ = database::Database::databaseForApp(app_);
    database_->setCallbackQueue(platform::DispatchQueue::create("e2e.auth.callbacks"));
  }
  void TearDown() override {
    database_->goOffline();
    AuthServerTest::TearDown();
  }

  // Writes and waits for the server's answer (the token getter answers on the main queue, which
  // the waiting pumps).
  ErrorPtr write(const std::string& path, const Value& value) {
    std::atomic<bool> done{false};
    ErrorPtr result;
    database_->reference().child(path).setValue(
        value, [&](const ErrorPtr& error, const database::DatabaseReference&) {
          result = error;
          done = true;
        });
    EXPECT_TRUE(waitFor([&] { return done.load(); }));
    return result;
  }
  std::string connectionUid() const {
    auto log = server_->acceptedConnectionLog();
    return log.empty() ? "" : log.back().uid;
  }
  std::string lastCredential() const {
    std::string credential;
    for (const auto& request : server_->requests()) {
      if (request.action != "auth") continue;
      const auto* cred = request.body.as_object().if_contains("cred");
      credential = cred && cred->is_string() ? std::string(cred->get_string()) : "";
    }
    return credential;
  }

  AuthPtr auth_;
  std::shared_ptr<database::Database> database_;
};

TEST_F(AuthDatabaseTest, TheConnectionFollowsSignInTokenRefreshAndSignOut) {
  UserPtr ann = signUp(auth_, "ann@school.dz.test");
  ASSERT_EQ(write("users/ann", Value("here")), nullptr);
  EXPECT_EQ(connectionUid(), ann->uid());
  EXPECT_EQ(lastCredential(), ann->rawAccessToken());

  // A refreshed token reaches the live connection, which authenticates again with it.
  const size_t auths = server_->requestCount("auth");
  bool refreshed = false;
  ann->getTokenForcingRefresh(true, [&](std::optional<std::string>, ErrorPtr error) {
    EXPECT_EQ(error, nullptr);
    refreshed = true;
  });
  ASSERT_TRUE(waitFor([&] { return refreshed && server_->requestCount("auth") > auths; }));
  EXPECT_EQ(lastCredential(), ann->rawAccessToken());
  ASSERT_TRUE(waitFor([&] { return connectionUid() == ann->uid(); }));

  // Signing out unauthenticates the connection; writes go on without a user.
  EXPECT_TRUE(auth_->signOut());
  ASSERT_TRUE(waitFor([&] { return server_->requestCount("unauth") == 1; }));
  EXPECT_EQ(connectionUid(), "");
  EXPECT_EQ(write("users/ann", Value("gone")), nullptr);
  EXPECT_EQ(server_->snapshot("/users/ann"), boost::json::value("gone"));
}

TEST_F(AuthDatabaseTest, ATokenTheServerFindsExpiredIsRefreshedBeforeTheNextAttempt) {
  UserPtr ann = signUp(auth_, "ann@school.dz.test");
  ASSERT_EQ(write("a", Value(1)), nullptr);
  const std::string first = ann->rawAccessToken();

  // Two hours pass on the server only: the client still thinks its token fresh.
  serverSkewMs_ = 2 * 3600 * 1000;
  server_->databaseService().dropConnections();
  ASSERT_EQ(write("a", Value(2)), nullptr);
  EXPECT_NE(ann->rawAccessToken(), first);
  EXPECT_EQ(connectionUid(), ann->uid());
  EXPECT_GE(authServer().requestCount("token"), 1u);
  EXPECT_EQ(server_->snapshot("/a"), boost::json::value(2));
}

TEST_F(AuthDatabaseTest, TheServerRefusesForgedAndExpiredTokens) {
  signUp(auth_, "ann@school.dz.test");
  std::string token = *authServer().issueAccessToken("ann@school.dz.test");
  EXPECT_FALSE(authServer().checkCredential(token).refusal);
  std::string forged = token;
  forged[forged.find('.') + 2] ^= 1;  // the payload, under the same signature
  EXPECT_EQ(authServer().checkCredential(forged).refusal, "invalid_token");
  EXPECT_EQ(authServer().checkCredential("e2e-token").refusal, "invalid_token");
  serverSkewMs_ = 3601 * 1000;
  EXPECT_EQ(authServer().checkCredential(token).refusal, "expired_token");
  serverSkewMs_ = 0;
  authServer().disableUser("ann@school.dz.test");
  EXPECT_EQ(authServer().checkCredential(token).refusal, "invalid_token");
}

}  // namespace
}  // namespace dz::e2e
