#include <gtest/gtest.h>

#include "platform/exception.h"
#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;
using std::chrono::seconds;

QuerySpec defaultQuery(const char* path) { return QuerySpec::defaultQueryAtPath(Path(path)); }
QuerySpec limitedQuery(const char* path, int64_t limit) {
  return QuerySpec(Path(path), QueryParams().orderBy(KeyIndex::keyIndex()).limitToFirst(limit));
}

class PersistentConnectionRequestsTest : public PersistentConnectionTest {
 protected:
  void listen(const QuerySpec& query, std::optional<int64_t> tag = std::nullopt,
              std::string hash = "h0") {
    onQueue([&] {
      connection_->listen(
          query, tag, std::make_shared<FixedHash>(hash), [this, query](const ErrorPtr& error) {
            log_.push_back("listen " + query.path().toString() + " " + outcome(error));
          });
    });
  }
  WriteCallback writeLog(const std::string& name) {
    return [this, name](const WriteResult& result) {
      log_.push_back(name + " " + result.status +
                     (result.reason ? " (" + *result.reason + ")" : ""));
    };
  }
  void put(const std::string& path, boost::json::value value, const std::string& name,
           std::optional<std::string> hash = std::nullopt) {
    onQueue([&] {
      connection_->putData(valueNode(Value::fromJson(value)), path, hash, writeLog(name));
    });
  }
  // The request bodies' paths, as "action path".
  std::vector<std::string> sent(FakeRealtimeConnection& connection) {
    std::vector<std::string> out;
    for (const auto& r : connection.requests) {
      std::string text(r.at("a").as_string());
      const auto& body = r.at("b").as_object();
      if (auto* p = body.if_contains("p")) text += " " + std::string(p->as_string());
      out.push_back(text);
    }
    return out;
  }
  int64_t numberOf(FakeRealtimeConnection& connection, const std::string& action,
                   const std::string& path) {
    for (const auto& r : connection.requests) {
      const auto& body = r.at("b").as_object();
      if (r.at("a").as_string() == action && body.contains("p") &&
          body.at("p").as_string() == path) {
        return r.at("r").as_int64();
      }
    }
    ADD_FAILURE() << "no " << action << " " << path;
    return -1;
  }
  void reply(FakeRealtimeConnection& connection, const std::string& action, const std::string& path,
             const std::string& status, boost::json::value data = nullptr) {
    int64_t number = numberOf(connection, action, path);
    onQueue([&] { connection.reply(number, status, data); });
  }

  std::vector<std::string> log_;
};

TEST_F(PersistentConnectionRequestsTest, ListenSendsPathHashAndForATaggedQueryItsParameters) {
  connectOnline();
  listen(defaultQuery("/users"), std::nullopt, "abc");
  listen(limitedQuery("/polls", 2), 7, "def");
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("q")),
            R"({"p":"/polls","q":{"i":".key","l":2,"vf":"l"},"t":7,"h":"def"})");
  reply(realtime(), "q", "/users", "ok");
  EXPECT_EQ(log_, std::vector<std::string>{"listen /users ok"});
  EXPECT_EQ(numberOf(realtime(), "q", "/users") + 1, numberOf(realtime(), "q", "/polls"));
}

TEST_F(PersistentConnectionRequestsTest, ListenSendsTheCompoundHashWhenTheHashSourceAsksForIt) {
  struct LargeDataHash : SyncTreeHash {
    std::string simpleHash() const override { return "whole"; }
    CompoundHash compoundHash() const override {
      return CompoundHash{{Path("/a/b"), Path("/c")}, {"h1", "h2", "h3"}};
    }
    bool includeCompoundHash() const override { return true; }
  };
  connectOnline();
  onQueue([&] {
    connection_->listen(defaultQuery("/big"), std::nullopt, std::make_shared<LargeDataHash>(),
                        nullptr);
  });
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("q")),
            R"({"p":"/big","h":"whole","ch":{"hs":["h1","h2","h3"],"ps":["a/b","c"]}})");
  // A reply that warns of a missing index is logged; the listen stands.
  onQueue([&] {
    realtime().reply(realtime().lastNumberOf("q"), "ok",
                     boost::json::parse(R"({"w":["no_index"]})"));
  });
  std::vector<QuerySpec> listens;
  onQueue([&] { listens = connection_->dumpListens(); });
  EXPECT_EQ(listens.size(), 1u);
}

TEST_F(PersistentConnectionRequestsTest, ListenMisuseIsRefused) {
  connectOnline();
  listen(defaultQuery("/a"));
  onQueue([&] {
    EXPECT_THROW(connection_->listen(defaultQuery("/a"), std::nullopt, nullptr, nullptr),
                 Exception);
    QuerySpec completeByKey(Path("/b"), QueryParams().orderBy(KeyIndex::keyIndex()));
    EXPECT_THROW(connection_->listen(completeByKey, std::nullopt, nullptr, nullptr), dz::Exception);
  });
}

TEST_F(PersistentConnectionRequestsTest, AFailedListenIsRemovedAndNotRestored) {
  connectOnline();
  listen(defaultQuery("/secret"));
  reply(realtime(), "q", "/secret", "permission_denied");
  EXPECT_EQ(log_, std::vector<std::string>{"listen /secret Permission Denied"});
  dropAndReconnect();
  becomeReady();
  EXPECT_EQ(sent(realtime()), std::vector<std::string>{"auth"});
}

TEST_F(PersistentConnectionRequestsTest, UnlistenSendsOnlyForAKnownListenWhileConnected) {
  connectOnline();
  listen(limitedQuery("/polls", 3), 4);
  onQueue([&] {
    connection_->unlisten(limitedQuery("/polls", 3), 4);
    connection_->unlisten(defaultQuery("/never"), std::nullopt);
  });
  EXPECT_EQ(sent(realtime()).back(), "n /polls");
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("n")),
            R"({"p":"/polls","q":{"i":".key","l":3,"vf":"l"},"t":4})");
  EXPECT_EQ(realtime().actions().size(), 4u);  // s, auth, q, n

  listen(defaultQuery("/x"));
  onQueue([&] { realtime().drop(); });
  onQueue([&] { connection_->unlisten(defaultQuery("/x"), std::nullopt); });
  advance(seconds(1));
  becomeReady();
  EXPECT_EQ(sent(realtime()), std::vector<std::string>{"auth"});
}

TEST_F(PersistentConnectionRequestsTest, RestoresListensThenPutsByIdThenOnDisconnects) {
  connectOnline();
  listen(defaultQuery("/l1"));
  onQueue([&] { realtime().drop(); });
  put("/p1", 1, "p1");
  onQueue([&] {
    connection_->onDisconnectPutData(valueNode("bye"), Path("/od1"), writeLog("od1"));
    connection_->mergeData(pathsMerge(R"({"a":1})"), "/p2", writeLog("p2"));
    connection_->onDisconnectCancelPath(Path("/od2"), writeLog("od2"));
  });
  listen(defaultQuery("/l2"));
  put("/p3", 3, "p3");
  advance(seconds(1));
  becomeReady();
  auto order = sent(realtime());
  ASSERT_EQ(order.size(), 8u);
  EXPECT_EQ(order[0], "auth");
  std::vector<std::string> listens(order.begin() + 1, order.begin() + 3);
  std::sort(listens.begin(), listens.end());
  EXPECT_EQ(listens, (std::vector<std::string>{"q /l1", "q /l2"}));
  EXPECT_EQ(std::vector<std::string>(order.begin() + 3, order.end()),
            (std::vector<std::string>{"p /p1", "m /p2", "p /p3", "o /od1", "oc /od2"}));
  EXPECT_TRUE(realtime().lastBodyOf("oc").at("d").is_null());
}

TEST_F(PersistentConnectionRequestsTest, AcknowledgementsWaitForTheListensSentBefore) {
  connectOnline();
  listen(defaultQuery("/feed"));
  put("/a", 1, "a");
  put("/b", 2, "b");
  reply(realtime(), "p", "/b", "ok");
  reply(realtime(), "p", "/a", "permission_denied", "no access");
  EXPECT_TRUE(log_.empty());
  reply(realtime(), "q", "/feed", "ok");
  EXPECT_EQ(log_, (std::vector<std::string>{"listen /feed ok", "b ok",
                                            "a permission_denied (no access)"}));
  put("/c", 3, "c");
  reply(realtime(), "p", "/c", "ok");
  EXPECT_EQ(log_.back(), "c ok");
}

TEST_F(PersistentConnectionRequestsTest, ASentPlainWriteIsSentAgainAfterReconnecting) {
  connectOnline();
  put("/plain", 1, "plain");
  put("/tx", 2, "tx", "hash-1");
  onQueue([&] { realtime().drop(); });
  EXPECT_EQ(log_, std::vector<std::string>{
                      "tx disconnect (Client was disconnected while running a transaction)"});
  put("/tx-later", 3, "later", "hash-2");  // not sent yet: stays
  advance(seconds(1));
  becomeReady();
  EXPECT_EQ(sent(realtime()), (std::vector<std::string>{"auth", "p /plain", "p /tx-later"}));
  reply(realtime(), "p", "/plain", "ok");
  EXPECT_EQ(log_.back(), "plain ok");
  size_t outstanding = 0;
  onQueue([&] { outstanding = connection_->outstandingPutCount(); });
  EXPECT_EQ(outstanding, 1u);
}

TEST_F(PersistentConnectionRequestsTest, AReplyForAReplacedListenCompletesNothingButCounts) {
  connectOnline();
  listen(defaultQuery("/q"));
  int64_t firstListen = numberOf(realtime(), "q", "/q");
  onQueue([&] { connection_->unlisten(defaultQuery("/q"), std::nullopt); });
  listen(defaultQuery("/q"));
  put("/w", 1, "w");
  onQueue([&] { realtime().reply(firstListen, "ok"); });
  EXPECT_TRUE(log_.empty());
  int64_t secondListen = realtime().lastNumberOf("q");
  put("/w2", 2, "w2");
  reply(realtime(), "p", "/w", "ok");
  reply(realtime(), "p", "/w2", "ok");
  EXPECT_TRUE(log_.empty());
  onQueue([&] { realtime().reply(secondListen, "ok"); });
  EXPECT_EQ(log_, (std::vector<std::string>{"listen /q ok", "w ok", "w2 ok"}));
}

TEST_F(PersistentConnectionRequestsTest, PurgeRunsHeldCompletionsThenCancelsTheRest) {
  connectOnline();
  listen(defaultQuery("/feed"));
  put("/a", 1, "a");
  reply(realtime(), "p", "/a", "ok");
  put("/b", 2, "b");
  onQueue([&] { realtime().drop(); });
  put("/c", 3, "c");
  onQueue([&] {
    connection_->onDisconnectPutData(valueNode(1), Path("/od"), writeLog("od"));
    connection_->purgeOutstandingWrites();
  });
  // "a" was held by the listen and flushed at the drop; the rest are cancelled in order.
  EXPECT_EQ(log_, (std::vector<std::string>{"a ok", "b write_canceled", "c write_canceled",
                                            "od write_canceled"}));
  advance(seconds(1));
  becomeReady();
  EXPECT_EQ(sent(realtime()), (std::vector<std::string>{"auth", "q /feed"}));
}

TEST_F(PersistentConnectionRequestsTest, OnDisconnectRepliesReachTheirCallbacks) {
  connectOnline();
  onQueue([&] {
    connection_->onDisconnectMergeData(pathsMerge(R"({"x":1})"), Path("/presence/me"),
                                       writeLog("om"));
  });
  EXPECT_EQ(boost::json::serialize(realtime().lastBodyOf("om")),
            R"({"p":"/presence/me","d":{"x":1}})");
  reply(realtime(), "om", "/presence/me", "permission_denied", "denied");
  EXPECT_EQ(log_, std::vector<std::string>{"om permission_denied (denied)"});
}

TEST_F(PersistentConnectionRequestsTest, DataPushesReachTheDelegate) {
  connectOnline();
  flush();
  delegate_->events.clear();
  onQueue([&] {
    realtime().push("d", R"({"p":"/a","d":{"x":1}})");
    realtime().push("d", R"({"p":"/gone","d":null,"t":3})");
    realtime().push("m", R"({"p":"/b","d":{"c/d":2}})");
    realtime().push("m", R"({"p":"/b","d":{}})");  // nothing to merge
    realtime().push("rm",
                    R"({"p":"/r","d":[{"s":"k1","e":"k5","m":{"k2":1}},{"m":{"k9":2}}],"t":2})");
  });
  EXPECT_EQ(delegate_->events,
            (std::vector<std::string>{R"(set /a {"x":1})", "set /gone null tag 3",
                                      R"(merge /b {"c/d":2})",
                                      R"(range /r [/k1,/k5]{"k2":1} [open,open]{"k9":2} tag 2)"}));
}

TEST_F(PersistentConnectionRequestsTest, ListenRevocationRemovesListensAtThatPathOnly) {
  connectOnline();
  listen(defaultQuery("/room"));
  listen(limitedQuery("/room", 5), 9);
  listen(defaultQuery("/room/child"));
  onQueue([&] { realtime().push("c", R"({"p":"/room"})"); });
  std::sort(log_.begin(), log_.end());
  EXPECT_EQ(log_, (std::vector<std::string>{"listen /room Permission Denied",
                                            "listen /room Permission Denied"}));
  std::vector<QuerySpec> remaining;
  onQueue([&] { remaining = connection_->dumpListens(); });
  ASSERT_EQ(remaining.size(), 1u);
  EXPECT_EQ(remaining[0].path(), Path("/room/child"));
  EXPECT_EQ(realtime().actions().back(), "q");  // no unlisten sent
}

}  // namespace
}  // namespace dz::database::testing
