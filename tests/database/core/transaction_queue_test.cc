// Transactions on the repository over a scripted server: sends with the hash, reruns on stale
// data, aborts by writes, drops and purges, and the rule that every completion runs once and no
// transaction or watcher outlives it.
#include "database/core/transaction_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "tests/database/core/repo_fixture.h"

namespace dz::database::testing {
namespace {

// Adds one to the number held (0 when none).
NodePtr increment(const NodePtr& current) {
  return SnapshotUtilities::nodeFrom(Value(current->val().getInt().value_or(0) + 1));
}

class TransactionTest : public OnlineRepoTest {
 protected:
  // Starts a transaction whose completions are logged as "<code or ok> <committed> <data>".
  void run(const std::string& path, TransactionUpdate update, bool applyLocally = true) {
    onQueue([&] {
      repo_->startTransaction(
          Path(path), std::move(update),
          [this](const ErrorPtr& error, bool committed, const NodePtr& data) {
            std::string text =
                error ? std::to_string(error->code()) + ":" + error->localizedDescription() : "ok";
            text += committed ? " committed " : " aborted ";
            completions_.push_back(text + (data ? data->val().toJsonString() : "-"));
          },
          applyLocally);
    });
    flush();
  }
  // Answers the last put (or, with `number`, that request), after the listens: the connection
  // holds write acknowledgements back while a listen is unanswered.
  void replyPut(const std::string& status, int64_t number = -1) {
    onQueue([&] {
      answerListens();
      server().reply(number >= 0 ? number : server().lastNumberOf("p"), status);
    });
    flush();
  }
  void answerListens() {
    for (const auto& request : server().requests) {
      int64_t number = request.at("r").as_int64();
      if (request.at("a").as_string() == "q" && answered_.insert(number).second) {
        server().reply(number, "ok", nullptr);
      }
    }
  }
  // Answers the listens and pushes `json` at `path`.
  void serverData(const std::string& path, const std::string& json) {
    onQueue([&] {
      answerListens();
      server().push("d", R"({"p":")" + path + R"(","d":)" + json + "}");
    });
    flush();
  }
  size_t puts() {
    auto actions = server().actions();
    return std::count(actions.begin(), actions.end(), "p");
  }
  size_t queued() {
    size_t count = 0;
    onQueue([&] { count = repo_->transactionQueue()->size(); });
    return count;
  }
  size_t listens() {
    size_t count = 0;
    flush();
    onQueue([&] { count = repo_->connection().dumpListens().size(); });
    return count;
  }
  void set(const std::string& path, const std::string& json) {
    onQueue([&] { repo_->set(Path(path), textNode(json), nullptr); });
    flush();
  }

  std::vector<std::string> completions_;
  std::set<int64_t> answered_;
};

TEST_F(TransactionTest, CommitsWithTheHashOfTheDataItSawAndLeavesNothingBehind) {
  listen("/counter");
  serverData("counter", "41");
  run("/counter", increment);
  const auto& put = server().lastBodyOf("p");
  EXPECT_EQ(put.at("p").as_string(), "/counter");
  EXPECT_EQ(put.at("d"), 42);
  EXPECT_EQ(put.at("h").as_string(), textNode("41")->dataHash());
  EXPECT_EQ(values_.back(), "/counter 42");  // local events at once
  replyPut("ok");
  EXPECT_EQ(completions_, std::vector<std::string>{"ok committed 42"});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, AnUpdateThatAbortsSendsNothingAndCompletesWithTheValueSeen) {
  serverData("a", "5");
  run("/a", [](const NodePtr&) -> NodePtr { return nullptr; });
  EXPECT_EQ(server().lastNumberOf("p"), -1);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(listens(), 0u);  // the watcher is gone
  ASSERT_EQ(completions_.size(), 1u);
  EXPECT_EQ(completions_[0].substr(0, 11), "ok aborted ");
}

TEST_F(TransactionTest, StaleDataRerunsAndParentAndChildGoInOnePut) {
  listen("/a");
  run("/a", [](const NodePtr&) { return textNode(R"({"x":1,"b":1})"); });
  run("/a/b", [](const NodePtr&) { return textNode("2"); });
  int64_t first = server().lastNumberOf("p");
  EXPECT_EQ(server().lastBodyOf("p").at("h").as_string(), "");
  serverData("a", R"({"x":0})");
  replyPut("datastale", first);
  // Both rerun on the new data and go together, the child's result over the parent's.
  const auto& put = server().lastBodyOf("p");
  ASSERT_NE(server().lastNumberOf("p"), first);
  EXPECT_EQ(put.at("p").as_string(), "/a");
  EXPECT_EQ(put.at("d"), boost::json::parse(R"({"x":1,"b":2})"));
  EXPECT_EQ(put.at("h").as_string(), textNode(R"({"x":0})")->dataHash());
  replyPut("ok");
  EXPECT_EQ(completions_,
            (std::vector<std::string>{R"(ok committed {"b":1,"x":1})", "ok committed 2"}));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, TwoSetsDuringASentTransactionThenStaleAbortItOnce) {
  listen("/a");
  run("/a", increment);
  int64_t put = server().lastNumberOf("p");
  set("/a/x", "1");
  set("/a", "7");
  EXPECT_EQ(queued(), 1u);  // sent: waits for its reply
  replyPut("datastale", put);
  EXPECT_EQ(completions_, std::vector<std::string>{"9999:set aborted null"});
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(listens(), 1u);  // the test's own listener only
  EXPECT_EQ(values_.back(), "/a 7");
}

TEST_F(TransactionTest, ASentTransactionOverruledBySetStillCommitsWhenTheServerSaysOk) {
  run("/a", increment);
  int64_t put = server().lastNumberOf("p");
  set("/a", "7");
  replyPut("ok", put);
  EXPECT_EQ(completions_, std::vector<std::string>{"ok committed 1"});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, ADropWhileSentAbortsWithDisconnectAndRevertsLocally) {
  listen("/a");
  serverData("a", "1");
  run("/a", increment);
  EXPECT_EQ(values_.back(), "/a 2");
  onQueue([&] { server().drop(); });
  flush();
  EXPECT_EQ(completions_,
            std::vector<std::string>{
                "9999:Client was disconnected while running a transaction aborted 1"});
  EXPECT_EQ(values_.back(), "/a 1");
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, APurgeWhileSentAbortsWithWriteCanceled) {
  run("/a", increment);
  onQueue([&] { repo_->purgeOutstandingWrites(); });
  flush();
  EXPECT_EQ(completions_, std::vector<std::string>{"3:Write cancelled by user aborted null"});
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(listens(), 0u);
}

TEST_F(TransactionTest, WithoutLocalEventsListenersWaitForTheServer) {
  listen("/a");
  serverData("a", "1");
  run("/a", increment, false);
  EXPECT_EQ(values_.back(), "/a 1");
  serverData("a", "2");  // the server applied the put and pushes it before its reply
  replyPut("ok");
  EXPECT_EQ(values_.back(), "/a 2");
  EXPECT_EQ(completions_, std::vector<std::string>{"ok committed 2"});
}

TEST_F(TransactionTest, TheTwentyFifthStaleReplyAbortsWithMaxretryWithoutRunningAgain) {
  int calls = 0;
  run("/a", [&calls](const NodePtr& current) {
    ++calls;
    return increment(current);
  });
  for (int send = 1; send <= TransactionQueue::kMaxRetries; ++send) replyPut("datastale");
  EXPECT_EQ(calls, TransactionQueue::kMaxRetries);
  EXPECT_EQ(puts(), 25u);
  EXPECT_EQ(completions_, std::vector<std::string>{"9999:maxretry aborted null"});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, AnUpdateThatThrowsAbortsItselfAndOthersGoOn) {
  run("/b", increment);
  run("/a", [](const NodePtr&) -> NodePtr { throw std::runtime_error("boom"); });
  replyPut("ok");
  ASSERT_EQ(completions_.size(), 2u);
  EXPECT_EQ(completions_[0], "9999:The transaction's update function threw: boom aborted null");
  EXPECT_EQ(completions_[1], "ok committed 1");
  // Throwing on a rerun too.
  bool threw = false;
  run("/c", [&threw](const NodePtr& current) -> NodePtr {
    if (!current->isEmpty()) {
      threw = true;
      throw std::runtime_error("again");
    }
    return increment(current);
  });
  serverData("c", "5");
  replyPut("datastale");
  EXPECT_TRUE(threw);
  EXPECT_EQ(completions_.back(), "9999:The transaction's update function threw: again aborted 5");
  EXPECT_EQ(queued(), 0u);
}

TEST_F(TransactionTest, ARefusedPutRevertsAndReportsTheStatus) {
  listen("/a");
  serverData("a", "1");
  run("/a", increment);
  replyPut("permission_denied");
  EXPECT_EQ(values_.back(), "/a 1");
  EXPECT_EQ(completions_, std::vector<std::string>{"1:Permission Denied aborted 1"});
}

}  // namespace
}  // namespace dz::database::testing
