#include <gtest/gtest.h>

#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST_F(PersistentConnectionTest, StaysOfflineUntilOpened) {
  advance(seconds(60));
  EXPECT_EQ(state(), State::Offline);
  EXPECT_TRUE(tokens_->forceFlags.empty());
  EXPECT_TRUE(connections_.empty());
}

TEST_F(PersistentConnectionTest, OpensFetchesTokenConnectsAuthenticatesAndReportsConnect) {
  tokens_->autoAnswer = false;
  onQueue([&] { connection_->open(); });
  flush();
  EXPECT_EQ(state(), State::FetchingToken);
  EXPECT_EQ(tokens_->forceFlags, std::vector<bool>{false});
  onQueue([&] { tokens_->answer(std::string("secret")); });
  EXPECT_EQ(state(), State::Opening);
  ASSERT_EQ(connections_.size(), 1u);
  EXPECT_TRUE(realtime().opened);

  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Authorizing);
  // Statistics go out first, then auth, its contents kept out of the log.
  EXPECT_EQ(realtime().actions(), (std::vector<std::string>{"s", "auth"}));
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("s")), R"({"c":{"sdk.objc.3-1-1":1}})");
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "secret");
  EXPECT_EQ(realtime().sensitiveFlags, (std::vector<bool>{false, true}));
  flush();
  EXPECT_EQ(delegate_->events, std::vector<std::string>{"connect"});

  onQueue([&] { realtime().reply(realtime().lastNumberOf("auth"), "ok"); });
  EXPECT_EQ(state(), State::Online);
  bool connected = false, canSendWrites = false;
  onQueue([&] {
    connected = connection_->connected();
    canSendWrites = connection_->canSendWrites();
  });
  EXPECT_TRUE(connected);
  EXPECT_TRUE(canSendWrites);
}

TEST_F(PersistentConnectionTest, WithoutATokenGoesOnlineWithoutAuth) {
  tokens_->autoToken.reset();
  openAndConnect();
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Online);
  EXPECT_EQ(realtime().actions(), std::vector<std::string>{"s"});
}

TEST_F(PersistentConnectionTest, StatisticsNamePersistenceAndGoOutOnlyOnTheFirstReady) {
  config_->setPersistenceEnabled(true);
  connectOnline();
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("s")),
            R"({"c":{"sdk.objc.3-1-1":1,"persistence.ios.enabled":1}})");
  dropAndReconnect();
  becomeReady();
  EXPECT_EQ(realtime().actions(), std::vector<std::string>{"auth"});
}

TEST_F(PersistentConnectionTest, ReportsTheServerTimeOffset) {
  openAndConnect();
  // The device clock is 2.5 s ahead of the server.
  onQueue([&] { realtime().ready(wallClock_ * 1000 - 2500); });
  ASSERT_TRUE(delegate_->serverTimeOffset);
  EXPECT_DOUBLE_EQ(*delegate_->serverTimeOffset, -2500);
}

TEST_F(PersistentConnectionTest, PassesTheLastSessionIdToTheNextConnection) {
  openAndConnect();
  onQueue([&] { realtime().ready(1.7e12, "abc"); });
  dropAndReconnect();
  EXPECT_EQ(lastSessionIds_, (std::vector<std::string>{"", "abc"}));
}

TEST_F(PersistentConnectionTest, RefusedAuthClearsTheTokenAndForcesARefresh) {
  openAndConnect();
  onQueue([&] { realtime().ready(); });
  onQueue(
      [&] { realtime().reply(realtime().lastNumberOf("auth"), "expired_token", "token too old"); });
  EXPECT_TRUE(realtime().closed);
  EXPECT_EQ(state(), State::Offline);
  flush();
  EXPECT_EQ(delegate_->events, (std::vector<std::string>{"connect", "disconnect"}));
  advance(seconds(2));
  ASSERT_EQ(tokens_->forceFlags.size(), 2u);
  EXPECT_TRUE(tokens_->forceFlags[1]);
  // Forced once only.
  tokens_->autoToken = "token-2";
  becomeReady();
  dropAndReconnect();
  EXPECT_FALSE(tokens_->forceFlags.back());
}

TEST_F(PersistentConnectionTest, ARefreshStaysForcedWhenTheNetworkCutsTheBackoffShort) {
  openAndConnect();
  onQueue([&] { realtime().ready(); });
  onQueue([&] { realtime().reply(realtime().lastNumberOf("auth"), "invalid_token"); });
  reachability_.setReachable(false);
  reachability_.setReachable(true);
  flush();
  flush();
  ASSERT_EQ(tokens_->forceFlags.size(), 2u);
  EXPECT_TRUE(tokens_->forceFlags[1]);
}

TEST_F(PersistentConnectionTest, ATokenProviderAnsweringTwiceIsHeardOnce) {
  tokens_->autoAnswer = false;
  onQueue([&] { connection_->open(); });
  flush();
  TokenCallback callback = tokens_->pending.front();
  onQueue([&] {
    callback(std::string("one"), nullptr);
    callback(std::string("two"), nullptr);
  });
  EXPECT_EQ(state(), State::Opening);
  EXPECT_EQ(connections_.size(), 1u);
}

TEST_F(PersistentConnectionTest, RevokedAuthClosesAndForcesARefresh) {
  connectOnline();
  onQueue([&] { realtime().push("ac", R"({"s":"invalid_token","d":"revoked"})"); });
  EXPECT_TRUE(realtime().closed);
  advance(seconds(2));
  EXPECT_TRUE(tokens_->forceFlags.back());
}

TEST_F(PersistentConnectionTest, TokenChangesReachTheLiveConnection) {
  connectOnline();
  onQueue([&] { connection_->refreshAuthToken(std::string("token-9")); });
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "token-9");
  onQueue([&] { connection_->refreshAuthToken(std::nullopt); });
  EXPECT_EQ(realtime().actions().back(), "unauth");
  EXPECT_EQ(state(), State::Online);
}

TEST_F(PersistentConnectionTest, ATokenErrorBacksOffAndRetries) {
  tokens_->autoAnswer = false;
  onQueue([&] { connection_->open(); });
  flush();
  onQueue([&] { tokens_->answer(std::nullopt, std::make_shared<Error>("auth", 17, "offline")); });
  EXPECT_EQ(state(), State::Offline);
  advance(milliseconds(299));
  EXPECT_EQ(tokens_->forceFlags.size(), 1u);
  advance(milliseconds(1));
  EXPECT_EQ(tokens_->forceFlags.size(), 2u);
}

TEST_F(PersistentConnectionTest, IgnoresTheTokenOfAnEarlierAttempt) {
  tokens_->autoAnswer = false;
  onQueue([&] { connection_->open(); });
  flush();
  onQueue([&] {
    connection_->interruptForReason("repo_interrupt");
    connection_->resumeForReason("repo_interrupt");
  });
  flush();
  ASSERT_EQ(tokens_->pending.size(), 2u);
  // The first attempt's answer, even an error, changes nothing.
  onQueue([&] { tokens_->answer(std::nullopt, std::make_shared<Error>("auth", 17, "late")); });
  EXPECT_EQ(state(), State::FetchingToken);
  onQueue([&] { tokens_->answer(std::string("fresh")); });
  EXPECT_EQ(state(), State::Opening);
  EXPECT_EQ(connections_.size(), 1u);
}

TEST_F(PersistentConnectionTest, OpenWhileInterruptedWaitsForTheResume) {
  onQueue([&] {
    connection_->interruptForReason("repo_interrupt");
    connection_->open();
  });
  advance(seconds(5));
  EXPECT_TRUE(connections_.empty());
  onQueue([&] { connection_->resumeForReason("repo_interrupt"); });
  flush();
  flush();
  EXPECT_EQ(connections_.size(), 1u);
}

TEST_F(PersistentConnectionTest, InterruptClosesTheConnectionAndReportsTheDisconnect) {
  connectOnline();
  flush();
  onQueue([&] { connection_->interruptForReason("repo_interrupt"); });
  EXPECT_TRUE(realtime().closed);
  EXPECT_EQ(state(), State::Offline);
  EXPECT_EQ(delegate_->events, (std::vector<std::string>{"connect", "disconnect"}));
  advance(seconds(60));
  EXPECT_EQ(connections_.size(), 1u);
  bool interrupted = false;
  onQueue([&] { interrupted = connection_->isInterruptedForReason("repo_interrupt"); });
  EXPECT_TRUE(interrupted);
}

TEST_F(PersistentConnectionTest, ADropBacksOffLongerEachTime) {
  connectOnline();
  onQueue([&] { realtime().drop(); });
  // The first failure waits 0.3 times 1 s, the second 0.3 times 1.3 s.
  advance(milliseconds(299));
  EXPECT_EQ(connections_.size(), 1u);
  advance(milliseconds(1));
  EXPECT_EQ(connections_.size(), 2u);
  onQueue([&] { realtime().drop(); });
  advance(milliseconds(389));
  EXPECT_EQ(connections_.size(), 2u);
  advance(milliseconds(1));
  EXPECT_EQ(connections_.size(), 3u);
}

TEST_F(PersistentConnectionTest, AServerResetReconnectsAtOnce) {
  connectOnline();
  onQueue([&] { realtime().drop(); });
  advance(seconds(1));
  ASSERT_EQ(connections_.size(), 2u);
  onQueue([&] { realtime().drop(ConnectionCloseReason::ServerReset); });
  flush();
  flush();
  EXPECT_EQ(connections_.size(), 3u);
}

TEST_F(PersistentConnectionTest, AConnectionThatLivedThirtySecondsReconnectsAtOnce) {
  connectOnline();
  onQueue([&] { realtime().drop(); });
  advance(seconds(1));
  becomeReady();
  // The wall clock jumping does not count: only monotonic time does.
  wallClock_ += 3600;
  advance(seconds(30));
  onQueue([&] { realtime().drop(); });
  flush();
  flush();
  EXPECT_EQ(connections_.size(), 2u) << "lived exactly 30 s: backs off";
  advance(seconds(2));
  ASSERT_EQ(connections_.size(), 3u);
  becomeReady();
  advance(milliseconds(30001));
  onQueue([&] { realtime().drop(); });
  flush();
  flush();
  EXPECT_EQ(connections_.size(), 4u);
}

TEST_F(PersistentConnectionTest, ReachabilityAndForegroundCutTheBackoffShort) {
  connectOnline();
  for (int i = 0; i < 5; ++i) {
    onQueue([&] { realtime().drop(); });
    advance(seconds(10));
  }
  size_t made = connections_.size();
  onQueue([&] { realtime().drop(); });
  flush();
  EXPECT_EQ(connections_.size(), made);
  reachability_.setReachable(false);
  reachability_.setReachable(true);
  flush();
  flush();
  flush();
  EXPECT_EQ(connections_.size(), made + 1);

  onQueue([&] { realtime().drop(); });
  notifications_.post("UIApplicationWillEnterForegroundNotification");
  flush();
  flush();
  flush();
  EXPECT_EQ(connections_.size(), made + 2);
}

TEST_F(PersistentConnectionTest, AKillEndsReconnectionForGood) {
  connectOnline();
  onQueue([&] { realtime().kill("over quota"); });
  EXPECT_EQ(state(), State::Offline);
  onQueue([&] {
    connection_->open();
    connection_->resumeForReason("repo_interrupt");
  });
  reachability_.setReachable(false);
  reachability_.setReachable(true);
  notifications_.post("UIApplicationWillEnterForegroundNotification");
  advance(seconds(120));
  EXPECT_EQ(connections_.size(), 1u);
  bool killed = false;
  onQueue([&] { killed = connection_->isInterruptedForReason("server_kill"); });
  EXPECT_TRUE(killed);
}

}  // namespace
}  // namespace dz::database::testing
