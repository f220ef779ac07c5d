// On-disconnect operations: kept per connection by the rules of docs/on-disconnect.md, cancelled by
// "oc", and run when the connection ends, with their results pushed to the listeners of other
// connections.
#include <gtest/gtest.h>

#include "tests/devserver/test_client.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::json;
using testing::TestClient;
using testing::text;

class OnDisconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = DevServer::start();
    server_->setJson("/", R"({"presence": {"alice": true, "bob": true}})");
    leaving_ = TestClient::connect(*server_);
    watcher_ = TestClient::connect(*server_);
    EXPECT_EQ(watcher_->call("q", body("/presence")), "ok");
    EXPECT_TRUE(watcher_->nextPush());
  }

  bool waitForData(const std::string& path, const boost::json::value& expected) {
    return server_->waitUntil([&] { return server_->snapshot(path) == expected; });
  }

  std::unique_ptr<DevServer> server_;
  std::unique_ptr<TestClient> leaving_;
  std::unique_ptr<TestClient> watcher_;
};

TEST_F(OnDisconnectTest, RunsWhenTheClientDropsAndPushesToOthers) {
  EXPECT_EQ(leaving_->call("o", body("/presence/alice", {{"d", false}})), "ok");
  EXPECT_EQ(leaving_->call("om", body("/presence", {{"d", {{"bob", "away"}}}})), "ok");
  EXPECT_EQ(server_->snapshot("/presence/alice"), true);
  leaving_->dropTcp();
  auto put = watcher_->nextPush();
  ASSERT_TRUE(put);
  EXPECT_EQ(text(put->at("a")), "d");
  EXPECT_EQ(text(put->at("b").at("p")), "presence/alice");
  EXPECT_EQ(put->at("b").at("d"), false);
  // An update is kept as a set of each child.
  auto child = watcher_->nextPush();
  ASSERT_TRUE(child);
  EXPECT_EQ(text(child->at("b").at("p")), "presence/bob");
  EXPECT_EQ(child->at("b").at("d"), "away");
  EXPECT_EQ(server_->snapshot("/presence"), json(R"({"alice": false, "bob": "away"})"));
}

TEST_F(OnDisconnectTest, CancelRemovesOperationsAtAndBelowThePath) {
  EXPECT_EQ(leaving_->call("o", body("/presence/alice", {{"d", false}})), "ok");
  EXPECT_EQ(leaving_->call("o", body("/presence/bob", {{"d", false}})), "ok");
  EXPECT_EQ(leaving_->call("o", body("/elsewhere", {{"d", "left"}})), "ok");
  EXPECT_EQ(leaving_->call("oc", body("/presence", {{"d", nullptr}})), "ok");
  leaving_->dropTcp();
  EXPECT_TRUE(waitForData("/elsewhere", "left"));
  EXPECT_EQ(server_->snapshot("/presence"), json(R"({"alice": true, "bob": true})"));
}

TEST_F(OnDisconnectTest, CancelBelowAStoredValueFollowsTheClientsRules) {
  server_->setJson("/presence/carol", "true");
  // A value with children is split, and only the cancelled child goes: the others are then set
  // one by one (carol, never named, stays).
  EXPECT_EQ(leaving_->call("o", body("/presence", {{"d", {{"alice", 1}, {"bob", 2}}}})), "ok");
  EXPECT_EQ(leaving_->call("oc", body("/presence/alice", {{"d", nullptr}})), "ok");
  // Below a leaf nothing can be cancelled; a stored removal goes entirely.
  EXPECT_EQ(leaving_->call("o", body("/leaf", {{"d", "x"}})), "ok");
  EXPECT_EQ(leaving_->call("oc", body("/leaf/deeper", {{"d", nullptr}})), "ok");
  EXPECT_EQ(leaving_->call("o", body("/presence/carol", {{"d", nullptr}})), "ok");
  EXPECT_EQ(leaving_->call("oc", body("/presence/carol/x", {{"d", nullptr}})), "ok");
  leaving_->dropTcp();
  EXPECT_TRUE(waitForData("/leaf", "x"));
  EXPECT_EQ(server_->snapshot("/presence"), json(R"({"alice": true, "bob": 2, "carol": true})"));
}

TEST_F(OnDisconnectTest, ServerDroppingTheConnectionRunsThemToo) {
  EXPECT_EQ(leaving_->call("o", body("/presence/alice", {{"d", {{".sv", "timestamp"}}}})), "ok");
  server_->databaseService().dropConnections();
  EXPECT_TRUE(leaving_->waitForClose());
  EXPECT_TRUE(server_->waitUntil([&] { return server_->connectionCount() == 0; }));
  EXPECT_TRUE(server_->snapshot("/presence/alice").is_number());
}

TEST_F(OnDisconnectTest, ServerValuesResolveInValuesAndPrioritiesKeepingThem) {
  EXPECT_EQ(leaving_->call(
                "o", body("/presence/alice", {{"d", {{".sv", "timestamp"}, {".priority", "p"}}}})),
            "ok");
  EXPECT_EQ(
      leaving_->call("o", body("/presence/bob",
                               {{"d", {{".value", 1}, {".priority", {{".sv", "timestamp"}}}}}})),
      "ok");
  leaving_->dropTcp();
  EXPECT_TRUE(server_->waitUntil([&] { return server_->snapshot("/presence/bob").is_object(); }));
  auto alice = server_->snapshot("/presence/alice");
  ASSERT_TRUE(alice.is_object()) << alice;
  EXPECT_TRUE(alice.at(".value").is_int64());
  EXPECT_EQ(alice.at(".priority"), "p");
  EXPECT_TRUE(server_->snapshot("/presence/bob").at(".priority").is_int64());
}

TEST_F(OnDisconnectTest, OperationsOfAConnectionThatStaysDoNotRun) {
  EXPECT_EQ(leaving_->call("o", body("/presence/alice", {{"d", false}})), "ok");
  watcher_->dropTcp();
  EXPECT_TRUE(server_->waitUntil([&] { return server_->connectionCount() == 1; }));
  EXPECT_EQ(server_->snapshot("/presence/alice"), true);
}

TEST_F(OnDisconnectTest, DeniedAndMalformedOperationsAreRefusedAtOnce) {
  server_->databaseService().denyPath("/locked", Access::kWrite);
  EXPECT_EQ(leaving_->call("o", body("/locked/x", {{"d", 1}})), "permission_denied");
  EXPECT_EQ(leaving_->call("om", body("/presence", {{"d", "not a map"}})), "invalid_request");
}

}  // namespace
}  // namespace dz::devserver
