// The controls tests use to make the server misbehave: denied paths, delayed and withheld
// replies, dropped connections, auth refusal and revocation, revoked listens, kill, reset,
// error, security-debug, range-merge and raw messages, and waiting on the counters.
#include <gtest/gtest.h>

#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::TestClient;
using testing::text;

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = DevServer::start();
    server_->setJson("/", R"({"public": 1, "private": {"secret": 2}})");
    client_ = TestClient::connect(*server_);
  }

  std::unique_ptr<DevServer> server_;
  std::unique_ptr<TestClient> client_;
};

TEST_F(ControlsTest, DeniedReadsRefuseListensAtAndBelowThePath) {
  server_->databaseService().denyPath("/private", Access::kRead);
  EXPECT_EQ(client_->call("q", body("/private")), "permission_denied");
  EXPECT_EQ(client_->call("q", body("/private/secret")), "permission_denied");
  EXPECT_EQ(client_->call("p", body("/private/secret", {{"d", 3}})), "ok");
  EXPECT_EQ(client_->call("q", body("/public")), "ok");
  server_->databaseService().allowAll();
  EXPECT_EQ(client_->call("q", body("/private")), "ok");
}

TEST_F(ControlsTest, DeniedWritesChangeNothing) {
  server_->databaseService().denyPath("/private", Access::kWrite);
  EXPECT_EQ(client_->call("p", body("/private/secret", {{"d", 3}})), "permission_denied");
  EXPECT_EQ(client_->call("m", body("/", {{"d", {{"private/secret", 3}, {"public", 5}}}})),
            "permission_denied");
  EXPECT_EQ(server_->snapshot("/"), json(R"({"public": 1, "private": {"secret": 2}})"));
  EXPECT_EQ(client_->call("q", body("/private")), "ok");
}

TEST_F(ControlsTest, WithheldRepliesComeOnlyWhenReleasedButTheWriteApplies) {
  server_->databaseService().withholdReplies("p");
  int64_t put = client_->request("p", body("/public", {{"d", 7}}));
  // Another action still answers, so the put's reply is not just late.
  EXPECT_EQ(client_->call("s", {{"c", {{"x", 1}}}}), "ok");
  EXPECT_EQ(server_->snapshot("/public"), 7);
  server_->databaseService().withholdReplies("p", false);
  server_->databaseService().releaseWithheldReplies();
  auto reply = client_->awaitReply(put);
  ASSERT_TRUE(reply);
  EXPECT_EQ(text(reply->at("s")), "ok");
}

TEST_F(ControlsTest, DelayedRepliesArriveAfterLaterOnes) {
  server_->databaseService().delayReplies("p", std::chrono::seconds(2));
  int64_t put = client_->request("p", body("/public", {{"d", 8}}));
  int64_t stats = client_->request("s", {{"c", {{"x", 1}}}});
  auto first = client_->receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->at("d").at("r").to_number<int64_t>(), stats);
  auto reply = client_->awaitReply(put);
  ASSERT_TRUE(reply);
  EXPECT_EQ(text(reply->at("s")), "ok");
}

TEST_F(ControlsTest, DropClosesEveryConnection) {
  auto other = TestClient::connect(*server_);
  EXPECT_TRUE(server_->waitUntil([&] { return server_->connectionCount() == 2; }));
  server_->databaseService().dropConnections();
  EXPECT_TRUE(client_->waitForClose());
  EXPECT_TRUE(other->waitForClose());
  EXPECT_TRUE(server_->waitUntil([&] { return server_->connectionCount() == 0; }));
  // New connections are still welcome.
  auto again = TestClient::connect(*server_);
  EXPECT_EQ(server_->acceptedConnections(), 3u);
}

TEST_F(ControlsTest, ControlMessagesKillAndReset) {
  server_->databaseService().sendShutdown("going away");
  auto kill = client_->nextNonReply();
  ASSERT_TRUE(kill);
  EXPECT_EQ(*kill, json(R"({"t": "c", "d": {"t": "s", "d": "going away"}})"));
  server_->databaseService().sendReset("other.dz.test:1");
  auto reset = client_->nextNonReply();
  ASSERT_TRUE(reset);
  EXPECT_EQ(*reset, json(R"({"t": "c", "d": {"t": "r", "d": "other.dz.test:1"}})"));
}

TEST_F(ControlsTest, ErrorSecurityDebugRangeMergeAndRawMessages) {
  server_->databaseService().sendError("something broke");
  server_->databaseService().sendSecurityDebug("line one\nline two");
  server_->databaseService().sendRangeMerge("/list",
                                            json(R"([{"s": "a", "e": "c", "m": {"b": 1}}])"), 4);
  server_->databaseService().sendRaw(R"({"t": "x"})");
  auto error = client_->nextNonReply();
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, json(R"({"t": "d", "d": {"error": "something broke"}})"));
  auto debug = client_->nextPush();
  ASSERT_TRUE(debug);
  EXPECT_EQ(*debug, json(R"({"a": "sd", "b": {"msg": "line one\nline two"}})"));
  auto rangeMerge = client_->nextPush();
  ASSERT_TRUE(rangeMerge);
  EXPECT_EQ(*rangeMerge,
            json(R"({"a": "rm", "b": {"p": "list", "d": [{"s": "a", "e": "c", "m": {"b": 1}}],
                     "t": 4}})"));
  auto raw = client_->nextNonReply();
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, json(R"({"t": "x"})"));
}

TEST_F(ControlsTest, AuthIsAcceptedRefusedAndRevoked) {
  auto anonymous = TestClient::connect(*server_);
  EXPECT_EQ(client_->call("auth", {{"cred", "token-1"}}), "ok");
  server_->databaseService().revokeAuth("expired_token", "the token expired");
  auto revoked = client_->nextPush();
  ASSERT_TRUE(revoked);
  EXPECT_EQ(*revoked,
            json(R"({"a": "ac", "b": {"s": "expired_token", "d": "the token expired"}})"));
  server_->databaseService().refuseAuth("expired_token");
  EXPECT_EQ(client_->call("auth", {{"cred", "token-2"}}), "expired_token");
  server_->databaseService().refuseAuth(std::nullopt);
  EXPECT_EQ(client_->call("auth", {{"cred", "token-3"}}), "ok");
  EXPECT_EQ(client_->call("unauth", {}), "ok");
  // Only authenticated connections hear of a revocation: the marker comes first.
  server_->databaseService().revokeAuth("expired_token", "again");
  server_->databaseService().sendSecurityDebug("marker");
  auto next = anonymous->nextPush();
  ASSERT_TRUE(next);
  EXPECT_EQ(text(next->at("a")), "sd");
}

TEST_F(ControlsTest, RevokedListensGetCAndNoMorePushes) {
  EXPECT_EQ(client_->call("q", body("/private")), "ok");
  EXPECT_EQ(client_->call("q", body("/private/secret")), "ok");
  ASSERT_TRUE(client_->nextPush());
  ASSERT_TRUE(client_->nextPush());
  server_->databaseService().revokeListens("/private");
  auto revoked = client_->nextPush();
  ASSERT_TRUE(revoked);
  EXPECT_EQ(*revoked, json(R"({"a": "c", "b": {"p": "private"}})"));
  // The deeper listen stays and is the only one pushed to.
  server_->set("/private", json(R"({"secret": 9, "other": 1})"));
  auto push = client_->nextPush();
  ASSERT_TRUE(push);
  EXPECT_EQ(text(push->at("b").at("p")), "private/secret");
}

TEST_F(ControlsTest, TestsCanWaitOnRequestCounts) {
  client_->request("p", body("/public", {{"d", 2}}));
  client_->request("p", body("/public", {{"d", 3}}));
  EXPECT_TRUE(server_->waitUntil([&] { return server_->requestCount("p") == 2; }));
  EXPECT_FALSE(server_->waitUntil([&] { return server_->requestCount("p") == 3; },
                                  std::chrono::milliseconds(50)));
}

}  // namespace
}  // namespace dz::devserver
