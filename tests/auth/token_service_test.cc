// The secure token service over a scripted token endpoint, on a fixed clock.
#include <gtest/gtest.h>

#include <future>

#include "auth/secure_token_service.h"
#include "tests/auth/auth_fixture.h"

namespace dz::auth::testing {
namespace {

class TokenServiceTest : public ScriptedBackendTest {
 protected:
  void SetUp() override {
    ScriptedBackendTest::SetUp();
    platform::setWallClockSource([] { return 10000.0; });
  }
  struct Fetched {
    std::optional<std::string> token;
    ErrorPtr error;
    bool changed = false;
  };
  std::future<Fetched> fetch(const SecureTokenServicePtr& service, bool force) {
    auto done = std::make_shared<std::promise<Fetched>>();
    service->fetchAccessTokenForcingRefresh(
        force, [done](std::optional<std::string> token, ErrorPtr error, bool changed) {
          done->set_value({token, error, changed});
        });
    return done->get_future();
  }
  static std::string answer(const std::string& access, const std::string& refresh, int expiresIn) {
    return R"({"access_token":")" + access + R"(","refresh_token":")" + refresh +
           R"(","expires_in":")" + std::to_string(expiresIn) + R"("})";
  }
};

TEST_F(TokenServiceTest, MoreThanThreeHundredSecondsLeftIsValid) {
  auto service = SecureTokenService::create("key", "held", 10000.0 + 301, "refresh");
  EXPECT_EQ(fetch(service, false).get().token, "held");
  EXPECT_TRUE(issuer_->posts().empty());

  auto expiring = SecureTokenService::create("key", "held", 10000.0 + 300, "refresh");
  issuer_->answer(answer("fresh", "refresh", 3600));
  Fetched fetched = fetch(expiring, false).get();
  EXPECT_EQ(fetched.token, "fresh");
  EXPECT_TRUE(fetched.changed);
  ASSERT_EQ(issuer_->posts().size(), 1u);
  EXPECT_EQ(issuer_->posts()[0].body["refreshToken"], Value("refresh"));
  EXPECT_EQ(expiring->accessTokenExpirationDate(), 13600.0);
}

TEST_F(TokenServiceTest, ARepeatedTokenTakesTheNewExpiry) {
  auto service = SecureTokenService::create("key", "same", 10000.0 + 60, "refresh");
  issuer_->answer(answer("same", "refresh", 3600));
  Fetched fetched = fetch(service, true).get();
  EXPECT_FALSE(fetched.changed);
  EXPECT_EQ(service->accessTokenExpirationDate(), 13600.0);
  // So the next fetch finds it valid and sends nothing.
  EXPECT_EQ(fetch(service, false).get().token, "same");
  EXPECT_EQ(issuer_->posts().size(), 1u);
}

TEST_F(TokenServiceTest, AFetchMadeDuringAnExchangeWaitsAndSendsNothing) {
  auto service = SecureTokenService::create("key", "old", 10000.0, "refresh");
  issuer_->answer(answer("new", "refresh2", 3600));
  auto first = fetch(service, false);
  auto second = fetch(service, false);
  EXPECT_EQ(first.get().token, "new");
  Fetched waited = second.get();
  EXPECT_EQ(waited.token, "new");
  EXPECT_FALSE(waited.changed);
  EXPECT_EQ(issuer_->posts().size(), 1u);
  EXPECT_EQ(service->refreshToken(), "refresh2");
}

TEST_F(TokenServiceTest, AFailedExchangeChangesNothing) {
  auto service = SecureTokenService::create("key", "old", 10000.0, "refresh");
  issuer_->answerStatus(400, R"({"error":{"message":"TOKEN_EXPIRED"}})");
  Fetched fetched = fetch(service, true).get();
  EXPECT_EQ(fetched.token, std::nullopt);
  EXPECT_EQ(fetched.error->code(), 17021);
  EXPECT_EQ(service->rawAccessToken(), "old");
  EXPECT_EQ(service->refreshToken(), "refresh");
}

TEST_F(TokenServiceTest, ArchivesWithoutARefreshTokenRestoreNothing) {
  auto service = SecureTokenService::create("key", "a", 123.0, "r");
  auto restored = SecureTokenService::fromArchive(service->archive());
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(restored->rawAccessToken(), "a");
  EXPECT_EQ(restored->accessTokenExpirationDate(), 123.0);
  EXPECT_EQ(SecureTokenService::fromArchive(Value(Value::Map{{"APIKey", "k"}})), nullptr);
  EXPECT_EQ(SecureTokenService::fromArchive(
                Value(Value::Map{{"APIKey", "k"}, {"refreshToken", "r"}, {"accessToken", 5}})),
            nullptr);
}

}  // namespace
}  // namespace dz::auth::testing
