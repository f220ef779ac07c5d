// Two clients whose writes the server applies in the other order than they were made: the writer's
// views show the server data with its pending writes over it, and once they are acknowledged, what
// the server holds, priority included. The server holds the writer's connection after a message of
// its own, so that the other client's write goes first.
#include <gtest/gtest.h>

#include "tests/e2e/repo_api_fixture.h"
#include "tests/support/thread_hold.h"

namespace dz::e2e {
namespace {

class PriorityRaceTest : public RepoApiTest {
 protected:
  void SetUp() override {
    devserver::Options options;
    // The two clients land on the two threads in turn, so one can wait while the other writes.
    options.connectionThreads = 2;
    options.afterMessage = [hold = hold_](uint64_t) { hold->holdIfArmed(); };
    startServer(false, std::move(options));
    a_ = client("a");
    b_ = client("b");
  }
  void TearDown() override {
    hold_->release();
    RepoApiTest::TearDown();
  }

  // A's and B's listeners at `/r/loc` (and A's at `/r`), each showing `data`.
  void listen(const Value& data) {
    for (const auto& [name, database] : {std::pair{"a", a_}, {"b", b_}}) {
      recordExport(database->reference().child("r/loc"), name);
      ASSERT_TRUE(seen_.waitForLast(name, data)) << name;
    }
    recordExport(a_->reference().child("r"), "a/r");
    ASSERT_TRUE(seen_.waitFor("a/r", [](const auto& seen) { return !seen.empty(); }));
  }
  void recordExport(const DatabaseReference& reference, const std::string& key) {
    reference.observeEventType(DataEventType::Value,
                               [seen = seenPtr_, key](const DataSnapshot& snapshot) {
                                 seen->add(key, snapshot.valueInExportFormat());
                               });
  }
  // Holds A's connection after a write of A's elsewhere: what A writes next waits.
  void holdA() {
    hold_->arm();
    a_->reference().child("side").setValue(1);
    ASSERT_TRUE(hold_->waitUntilHeld());
  }
  DatabaseReference::CompletionBlock done(const std::string& key) {
    return [seen = seenPtr_, key](const ErrorPtr& error, const DatabaseReference&) {
      seen->add(key, !error);
    };
  }
  // A's listeners, and B's, end with what the server holds at /r/loc.
  void expectAllShowTheServer() {
    Value held = Value::fromJson(server_->snapshot("/r/loc"));
    EXPECT_TRUE(seen_.waitForLast("a", held)) << seen_.of("a").back().toJsonString();
    EXPECT_TRUE(seen_.waitForLast("b", held)) << seen_.of("b").back().toJsonString();
    EXPECT_TRUE(seen_.waitFor("a/r", [&](const std::vector<Value>& seen) {
      const Value* loc = seen.empty() ? nullptr : seen.back().find("loc");
      return loc && *loc == held;
    })) << seen_.of("a/r").back().toJsonString();
  }

  std::shared_ptr<dz::testing::ThreadHold> hold_ =
      std::make_shared<dz::testing::ThreadHold>(kApiWait);
  std::shared_ptr<Database> a_;
  std::shared_ptr<Database> b_;
};

TEST_F(PriorityRaceTest, AWriteAppliedAfterAnotherEmptiedItsLocationShowsNoPriority) {
  server_->setJson("/r/loc", R"({"x": 1, ".priority": "p"})");
  listen(*Value::parseJson(R"({"x": 1, ".priority": "p"})"));
  holdA();
  a_->reference().child("r/loc/y").setValue(2, done("a wrote"));
  // B empties the location first, and with it goes its priority.
  b_->reference().child("r/loc/x").removeValue(done("b wrote"));
  ASSERT_TRUE(seen_.waitForLast("b wrote", true));
  hold_->release();
  ASSERT_TRUE(seen_.waitForLast("a wrote", true));
  EXPECT_EQ(Value::fromJson(server_->snapshot("/r/loc")).toJsonString(), R"({"y":2})");
  expectAllShowTheServer();
  // A later change leaves no stale priority behind either.
  b_->reference().child("r/loc/z").setValue(3, done("b wrote again"));
  ASSERT_TRUE(seen_.waitForLast("b wrote again", true));
  expectAllShowTheServer();
}

TEST_F(PriorityRaceTest, APriorityAppliedBeforeWritesThatEmptyTheLocationGoesWithIt) {
  server_->setJson("/r/loc", R"({"x": 1})");
  listen(*Value::parseJson(R"({"x": 1})"));
  holdA();
  a_->reference().child("r/loc/x").removeValue(done("a removed"));
  a_->reference().child("r/loc/y").setValue(2, done("a wrote"));
  b_->reference().child("r/loc").setPriority("q", done("b wrote"));
  ASSERT_TRUE(seen_.waitForLast("b wrote", true));
  hold_->release();
  ASSERT_TRUE(seen_.waitForLast("a wrote", true));
  EXPECT_EQ(Value::fromJson(server_->snapshot("/r/loc")).toJsonString(), R"({"y":2})");
  expectAllShowTheServer();
}

}  // namespace
}  // namespace dz::e2e
