// Faults of the server, the network and re-entrant callers that must neither crash nor lose a
// callback.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;
using std::chrono::seconds;

class PersistentConnectionFaultsTest : public PersistentConnectionTest {
 protected:
  WriteCallback writeLog(const std::string& name) {
    return [this, name](const WriteResult& result) { log_.push_back(name + " " + result.status); };
  }
  ListenCallback listenLog(const std::string& name) {
    return [this, name](const ErrorPtr& error) { log_.push_back(name + " " + outcome(error)); };
  }
  std::vector<std::string> log_;
};

TEST_F(PersistentConnectionFaultsTest, ACallbackOfAFormerConnectionChangesNothing) {
  connectOnline();
  onQueue([&] {
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/a")), std::nullopt, nullptr,
                        listenLog("listen"));
  });
  auto old = connections_.back();
  int64_t oldListen = old->lastNumberOf("q");
  dropAndReconnect();
  becomeReady();
  flush();
  delegate_->events.clear();
  onQueue([&] {
    old->reply(oldListen, "ok");
    old->push("d", R"({"p":"/a","d":1})");
    old->ready();
    old->kill("late");
    old->drop();
  });
  flush();
  EXPECT_TRUE(log_.empty());
  EXPECT_TRUE(delegate_->events.empty());
  EXPECT_EQ(state(), State::Online);
  EXPECT_FALSE(realtime().closed);
}

TEST_F(PersistentConnectionFaultsTest, AReadyThatWasClosedBeforeItsConnectRanReportsNoConnect) {
  openAndConnect();
  onQueue([&] {
    realtime().ready();
    realtime().drop();
  });
  flush();
  EXPECT_EQ(delegate_->events, std::vector<std::string>{"disconnect"});
}

TEST_F(PersistentConnectionFaultsTest, AServerErrorRestartsTheConnectionWithBackoff) {
  connectOnline();
  onQueue([&] { realtime().message(R"({"error":"internal failure"})"); });
  EXPECT_TRUE(realtime().closed);
  EXPECT_EQ(state(), State::Offline);
  flush();
  EXPECT_EQ(connections_.size(), 1u);
  advance(seconds(1));
  EXPECT_EQ(connections_.size(), 2u);
}

TEST_F(PersistentConnectionFaultsTest, MalformedRepliesAndPushesAreDropped) {
  connectOnline();
  flush();
  delegate_->events.clear();
  onQueue([&] {
    auto& server = realtime();
    server.message(R"({"r":"one","b":{"s":"ok"}})");
    server.message(R"({"r":1.5,"b":{"s":"ok"}})");
    server.message(R"({"r":99999999999999999999,"b":{}})");
    server.message(R"({"a":"d"})");
    server.message(R"({"a":"d","b":[1]})");
    server.message(R"({"a":7,"b":{}})");
    server.message(R"({"nothing":"here"})");
    server.push("d", R"({"d":1})");
    server.push("d", R"({"p":"/a"})");
    server.push("d", R"({"p":5,"d":1})");
    server.push("d", R"({"p":"/a","d":1,"t":"x"})");
    server.push("m", R"({"p":"/a","d":[1,2]})");
    server.push("m", R"({"p":"/a","d":"text"})");
    server.push("rm", R"({"p":"/a","d":{"s":"x"}})");
    server.push("rm", R"({"p":"/a","d":[5]})");
    server.push("rm", R"({"p":"/a","d":[{"s":7,"m":{}}]})");
    server.push("rm", R"({"p":"/a","d":[{"m":{"bad/key.x":1}}]})");
    server.push("rm", R"({"d":[]})");
    server.push("c", R"({"p":["x"]})");
    server.push("c", R"({})");
    server.push("ac", R"({})");
  });
  flush();
  EXPECT_TRUE(delegate_->events.empty() ||
              delegate_->events == std::vector<std::string>{"disconnect"});
  // "ac" without fields still revokes: the connection starts over, nothing else happened.
  advance(seconds(1));
  becomeReady();
}

TEST_F(PersistentConnectionFaultsTest, LogLinesFromTheServerAreNeverFormatStrings) {
  connectOnline();
  onQueue([&] {
    realtime().push("sd", R"({"msg":"rule %s%n%x failed\nsecond line %@"})");
    realtime().push("zz", R"({"x":"%s%n"})");
  });
  EXPECT_EQ(state(), State::Online);
}

TEST_F(PersistentConnectionFaultsTest, AReplyWithoutStatusIsDroppedAndItsRequestStaysOutstanding) {
  connectOnline();
  QuerySpec query = QuerySpec::defaultQueryAtPath(Path("/l"));
  onQueue([&] { connection_->listen(query, std::nullopt, nullptr, listenLog("listen")); });
  int64_t listenNumber = realtime().lastNumberOf("q");
  onQueue([&] { connection_->putData(valueNode(1), "/p", std::nullopt, writeLog("put")); });
  int64_t putNumber = realtime().lastNumberOf("p");
  onQueue([&] {
    realtime().message(R"({"r":)" + std::to_string(putNumber) + R"(})");
    realtime().message(R"({"r":)" + std::to_string(listenNumber) + R"(,"b":{"d":"x"}})");
    realtime().message(R"({"r":)" + std::to_string(putNumber) + R"(,"b":{"s":7}})");
  });
  EXPECT_TRUE(log_.empty());
  onQueue([&] {
    EXPECT_EQ(connection_->dumpListens(), std::vector<QuerySpec>{query});
    EXPECT_EQ(connection_->outstandingPutCount(), 1u);
  });
  // A proper answer later still completes them.
  onQueue([&] {
    realtime().reply(listenNumber, "ok");
    realtime().reply(putNumber, "ok");
  });
  EXPECT_EQ(log_, (std::vector<std::string>{"listen ok", "put ok"}));
}

TEST_F(PersistentConnectionFaultsTest, HeldCompletionsAreFlushedAtADisconnect) {
  connectOnline();
  onQueue([&] {
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/l")), std::nullopt, nullptr,
                        listenLog("listen"));
    connection_->putData(valueNode(1), "/p", std::nullopt, writeLog("put"));
  });
  onQueue([&] { realtime().reply(realtime().lastNumberOf("p"), "ok"); });
  EXPECT_TRUE(log_.empty());
  onQueue([&] { realtime().drop(); });
  EXPECT_EQ(log_, std::vector<std::string>{"put ok"});
}

TEST_F(PersistentConnectionFaultsTest, UnansweredOnDisconnectOperationsFailAtTheDropAndStayUnsent) {
  connectOnline();
  std::vector<std::string> reasons;
  onQueue([&] {
    connection_->onDisconnectPutData(valueNode("offline"), Path("/status"),
                                     [&](const WriteResult& result) {
                                       log_.push_back("od1 " + result.status);
                                       reasons.push_back(result.reason.value_or(""));
                                     });
    connection_->onDisconnectCancelPath(Path("/other"), writeLog("od2"));
  });
  // The second one is answered; the first is not when the connection drops.
  int64_t od1Number = realtime().lastNumberOf("o");
  onQueue([&] { realtime().reply(realtime().lastNumberOf("oc"), "ok"); });
  onQueue([&] {
    connection_->onDisconnectPutData(valueNode("later"), Path("/late"), writeLog("od3"));
  });
  auto& first = realtime();
  dropAndReconnect();
  EXPECT_EQ(log_, (std::vector<std::string>{"od2 ok", "od1 disconnect", "od3 disconnect"}));
  EXPECT_EQ(reasons, std::vector<std::string>{
                         "The connection ended before the server confirmed the request"});
  onQueue(
      [&] { connection_->onDisconnectPutData(valueNode("queued"), Path("/q"), writeLog("od4")); });
  becomeReady();
  std::vector<std::string> sentAgain;
  for (const auto& r : realtime().requests) {
    if (r.at("a").as_string() == "o")
      sentAgain.push_back(std::string(r.at("b").at("p").as_string()));
  }
  EXPECT_EQ(sentAgain, std::vector<std::string>{"/q"});
  // A late answer from the old connection completes nothing twice.
  onQueue([&] { first.reply(od1Number, "ok"); });
  onQueue([&] { realtime().reply(realtime().lastNumberOf("o"), "ok"); });
  EXPECT_EQ(log_,
            (std::vector<std::string>{"od2 ok", "od1 disconnect", "od3 disconnect", "od4 ok"}));
}

TEST_F(PersistentConnectionFaultsTest, PurgeCancelsSentOnDisconnectsAndTheirRepliesChangeNothing) {
  connectOnline();
  onQueue([&] {
    connection_->onDisconnectPutData(valueNode("gone"), Path("/a"), writeLog("sent"));
    connection_->putData(valueNode(1), "/p", std::nullopt, writeLog("put"));
  });
  int64_t odNumber = realtime().lastNumberOf("o");
  int64_t putNumber = realtime().lastNumberOf("p");
  onQueue([&] { connection_->purgeOutstandingWrites(); });
  EXPECT_EQ(log_, (std::vector<std::string>{"put write_canceled", "sent write_canceled"}));
  onQueue([&] {
    realtime().reply(odNumber, "ok");
    realtime().reply(putNumber, "ok");
  });
  dropAndReconnect();
  becomeReady();
  EXPECT_EQ(log_, (std::vector<std::string>{"put write_canceled", "sent write_canceled"}));
  for (const auto& r : realtime().requests) {
    EXPECT_NE(r.at("a").as_string(), "o");
    EXPECT_NE(r.at("a").as_string(), "p");
  }
}

TEST_F(PersistentConnectionFaultsTest, AListenMadeWhileAuthorizingIsSentOnce) {
  openAndConnect();
  onQueue([&] { realtime().ready(); });
  ASSERT_EQ(state(), State::Authorizing);
  onQueue([&] {
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/early")), std::nullopt, nullptr,
                        listenLog("listen"));
  });
  onQueue([&] { realtime().reply(realtime().lastNumberOf("auth"), "ok"); });
  EXPECT_EQ(realtime().actions(), (std::vector<std::string>{"s", "auth", "q"}));
}

TEST_F(PersistentConnectionFaultsTest, CallbacksMayChangeTheTablesTheyAreCalledFrom) {
  connectOnline();
  QuerySpec room = QuerySpec::defaultQueryAtPath(Path("/room"));
  onQueue([&] {
    connection_->listen(room, std::nullopt, nullptr, [&](const ErrorPtr& error) {
      log_.push_back("listen " + outcome(error));
      // Listen again from inside the revocation.
      connection_->listen(room, std::nullopt, nullptr, listenLog("again"));
    });
  });
  onQueue([&] { realtime().push("c", R"({"p":"/room"})"); });
  EXPECT_EQ(log_, std::vector<std::string>{"listen Permission Denied"});

  onQueue([&] { realtime().drop(); });
  onQueue([&] {
    connection_->putData(valueNode(1), "/a", std::nullopt, [&](const WriteResult& result) {
      log_.push_back("a " + result.status);
      connection_->putData(valueNode(2), "/b", std::nullopt, writeLog("b"));
      connection_->purgeOutstandingWrites();
    });
    connection_->putData(valueNode(3), "/c", std::nullopt, writeLog("c"));
    connection_->purgeOutstandingWrites();
  });
  EXPECT_EQ(log_, (std::vector<std::string>{"listen Permission Denied", "a write_canceled",
                                            "b write_canceled", "c write_canceled"}));
}

TEST_F(PersistentConnectionFaultsTest, ADelegateThatRejectsPushedDataDoesNotStopTheConnection) {
  struct Throwing : RecordingConnectionDelegate {
    void onDataUpdate(PersistentConnection*, const std::string&, PushedData, bool,
                      std::optional<int64_t>) override {
      throw dz::Exception("InvalidDezuvuraData", "bad data");
    }
  };
  auto throwing = std::make_shared<Throwing>();
  onQueue([&] { connection_->setDelegate(throwing); });
  connectOnline();
  onQueue([&] { realtime().push("d", R"({"p":"/a","d":{"bad.key":1}})"); });
  EXPECT_EQ(state(), State::Online);
}

}  // namespace
}  // namespace dz::database::testing
