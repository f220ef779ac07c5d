#include <gtest/gtest.h>

#include "tests/e2e/connection_fixture.h"

namespace dz::e2e {
namespace {

TEST_F(ConnectionEndToEndTest, ConnectsAuthenticatesListensAndReceivesData) {
  server_->setJson("/items", R"({"a":1,"b":"two"})");
  openAndWaitConnected();
  EXPECT_EQ(serverPaths("auth").size(), 1u);
  EXPECT_EQ(serverPaths("s").size(), 1u);
  listen("/items");
  EXPECT_TRUE(events_.waitFor(R"(set /items {"a":1,"b":"two"})"));
  EXPECT_TRUE(events_.waitFor("listen /items ok"));
  server_->setJson("/items/c", "3");
  EXPECT_TRUE(events_.waitFor("set /items/c 3"));
}

TEST_F(ConnectionEndToEndTest, PutsAndMergesReachTheServer) {
  openAndWaitConnected();
  onQueue([&] {
    connection_->putData(node(*Value::parseJson(R"({"name":"poll","votes":0})")), "/polls/p1",
                         std::nullopt, writeLog("put"));
    connection_->mergeData(merge(R"({"votes":3,"options/o1":"yes"})"), "/polls/p1",
                           writeLog("merge"));
  });
  ASSERT_TRUE(events_.waitFor("put ok"));
  ASSERT_TRUE(events_.waitFor("merge ok"));
  EXPECT_EQ(server_->snapshot("/polls/p1"),
            boost::json::parse(R"({"name":"poll","votes":3,"options":{"o1":"yes"}})"));
}

TEST_F(ConnectionEndToEndTest, RefusedWritesReportTheServersStatus) {
  server_->databaseService().denyPath("/locked", devserver::Access::kWrite);
  openAndWaitConnected();
  onQueue([&] { connection_->putData(node(1), "/locked/x", std::nullopt, writeLog("put")); });
  EXPECT_TRUE(events_.waitFor("put permission_denied"));
}

TEST_F(ConnectionEndToEndTest, MessagesLongerThanOneFrameGoBothWays) {
  openAndWaitConnected();
  listen("/big");
  ASSERT_TRUE(events_.waitFor("listen /big ok"));
  // 40,000 characters, several of them outside the BMP: three frames each way.
  std::string text;
  while (text.size() < 40000) text += "abc\xF0\x9F\x98\x80";
  onQueue([&] { connection_->putData(node(text), "/big", std::nullopt, writeLog("put")); });
  ASSERT_TRUE(events_.waitFor("put ok"));
  EXPECT_EQ(server_->snapshot("/big"), boost::json::value(text));
  server_->set("/big", boost::json::string(text + "!"));
  EXPECT_TRUE(
      events_.waitFor("set /big " + boost::json::serialize(boost::json::string(text + "!"))));
}

TEST_F(ConnectionEndToEndTest, OnDisconnectOperationsRunWhenTheConnectionIsCut) {
  openAndWaitConnected();
  onQueue([&] {
    connection_->onDisconnectPutData(node("offline"), Path("/presence/me"), writeLog("od put"));
    connection_->onDisconnectMergeData(merge(R"({"seen":true})"), Path("/users/me"),
                                       writeLog("od merge"));
  });
  ASSERT_TRUE(events_.waitFor("od put ok"));
  ASSERT_TRUE(events_.waitFor("od merge ok"));
  EXPECT_TRUE(server_->snapshot("/presence/me").is_null());
  server_->databaseService().dropConnections();
  ASSERT_TRUE(events_.waitFor("disconnect"));
  ASSERT_TRUE(server_->waitUntil([&] { return server_->snapshot("/presence/me") == "offline"; }));
  EXPECT_EQ(server_->snapshot("/users/me"), boost::json::parse(R"({"seen":true})"));
  // And the client comes back by itself.
  EXPECT_TRUE(events_.waitFor("connect", 2));
}

TEST_F(ConnectionEndToEndTest, ReconnectsAndRestoresListensThenPendingPutsInOrder) {
  openAndWaitConnected();
  listen("/feed");
  ASSERT_TRUE(events_.waitFor("listen /feed ok"));
  server_->databaseService().withholdReplies("p");
  onQueue([&] {
    connection_->putData(node(1), "/w/1", std::nullopt, writeLog("w1"));
    connection_->putData(node(2), "/w/2", std::nullopt, writeLog("w2"));
  });
  ASSERT_TRUE(server_->waitUntil([&] { return server_->requestCount("p") == 2; }));
  server_->databaseService().withholdReplies("p", false);
  server_->databaseService().dropConnections();
  ASSERT_TRUE(events_.waitFor("connect", 2));
  ASSERT_TRUE(events_.waitFor("w1 ok"));
  ASSERT_TRUE(events_.waitFor("w2 ok"));
  // Each write completes once, though it was sent twice.
  EXPECT_EQ(events_.count("w1 ok"), 1u);
  EXPECT_EQ(events_.count("w2 ok"), 1u);

  // On the second connection: the listen first, then the writes by id.
  std::vector<std::string> order;
  bool secondConnection = false;
  uint64_t firstId = server_->requests().front().connectionId;
  for (const auto& request : server_->requests()) {
    if (request.connectionId != firstId) secondConnection = true;
    if (!secondConnection || (request.action != "q" && request.action != "p")) continue;
    order.push_back(request.action + " " +
                    std::string(request.body.as_object().at("p").as_string()));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"q /feed", "p /w/1", "p /w/2"}));
}

TEST_F(ConnectionEndToEndTest, WritesMadeOfflineGoOutAfterConnecting) {
  makeConnection();
  onQueue([&] { connection_->putData(node("early"), "/early", std::nullopt, writeLog("early")); });
  openAndWaitConnected();
  ASSERT_TRUE(events_.waitFor("early ok"));
  EXPECT_EQ(server_->snapshot("/early"), "early");
}

TEST_F(ConnectionEndToEndTest, FollowsARedirectAndCachesTheHost) {
  std::string target = "ns2.dz.test:" + std::to_string(server_->port());
  server_->databaseService().redirect(host_, target);
  openAndWaitConnected();
  EXPECT_EQ(repoInfo_->internalHost(), target);
  EXPECT_EQ(server_->acceptedConnections(), 2u);
  // A later launch goes straight to the cached host.
  EXPECT_EQ(RepoInfo::create(host_, false, "ns")->internalHost(), target);
}

TEST_F(ConnectionEndToEndTest, AuthRefusedWithAnExpiredTokenRetriesWithARefreshedOne) {
  server_->databaseService().refuseAuth(std::string("expired_token"));
  makeConnection();
  onQueue([&] { connection_->open(); });
  ASSERT_TRUE(server_->waitUntil([&] { return server_->requestCount("auth") >= 2; }));
  server_->databaseService().refuseAuth(std::nullopt);
  ASSERT_TRUE(waitOnQueue([&] { return connection_->canSendWrites(); }));
  auto forced = tokens_->forced();
  ASSERT_GE(forced.size(), 2u);
  EXPECT_FALSE(forced[0]);
  EXPECT_TRUE(forced[1]);
}

TEST_F(ConnectionEndToEndTest, AServerKillStopsReconnection) {
  openAndWaitConnected();
  server_->databaseService().sendShutdown("database disabled");
  ASSERT_TRUE(events_.waitFor("disconnect"));
  onQueue([&] {
    EXPECT_TRUE(connection_->isInterruptedForReason("server_kill"));
    connection_->resumeForReason("repo_interrupt");
  });
  reachability_.setReachable(false);
  reachability_.setReachable(true);
  // Nothing connects again; a reconnect would take 0.3 s at most.
  EXPECT_FALSE(
      server_->waitUntil([&] { return server_->acceptedConnections() > 1; }, milliseconds(1500)));
}

TEST_F(ConnectionEndToEndTest, AServerErrorRestartsTheConnection) {
  openAndWaitConnected();
  server_->databaseService().sendError("internal failure");
  ASSERT_TRUE(events_.waitFor("disconnect"));
  EXPECT_TRUE(events_.waitFor("connect", 2));
}

TEST_F(ConnectionEndToEndTest, GarbageFromTheServerIsDropped) {
  openAndWaitConnected();
  listen("/x");
  ASSERT_TRUE(events_.waitFor("listen /x ok"));
  for (const char* text :
       {"not json", "[1,2]", R"({"t":"d","d":[]})", R"({"t":"d","d":{"r":"x"}})",
        R"({"t":"d","d":{"a":"m","b":{"p":"/x","d":7}}})", R"({"t":"c","d":{"t":"h","d":{}}})"}) {
    server_->databaseService().sendRaw(text);
  }
  server_->setJson("/x", "1");
  ASSERT_TRUE(events_.waitFor("set /x 1"));
}

}  // namespace
}  // namespace dz::e2e
