// Observe-once over a repository whose server the test plays: events that race to the callback
// queue call the block once, and the observer and its listen go away after the first.
#include <gtest/gtest.h>

#include "database/api/database_reference.h"
#include "tests/database/core/repo_fixture.h"

namespace dz::database::testing {
namespace {

TEST_F(RepoTest, ObserveOnceCallsItsBlockOnceWhenEventsRace) {
  start();
  becomeReady();
  DatabaseReference ref(repo_, Path("/a"));
  std::vector<std::string> calls;
  ref.observeSingleEventOfType(DataEventType::Value, [&](const DataSnapshot& snapshot) {
    calls.push_back(snapshot.value().toJsonString());
  });
  // Two values in one work-queue task: both events are queued before either block runs.
  onQueue([] {});
  onQueue([&] {
    auto& server = *connections_.back();
    server.push("d", R"({"p":"a","d":1})");
    server.push("d", R"({"p":"a","d":2})");
    server.reply(server.lastNumberOf("q"), "ok");
  });
  flush();
  EXPECT_EQ(calls, std::vector<std::string>{"1"});
  // The observer is gone, and with it the listen.
  EXPECT_GE(connections_.back()->lastNumberOf("n"), 0);
  onQueue([&] { connections_.back()->push("d", R"({"p":"a","d":3})"); });
  flush();
  EXPECT_EQ(calls.size(), 1u);
}

TEST_F(RepoTest, RemovingAllObserversEndsTheListenAndOneHandleOnlyItsOwn) {
  start();
  becomeReady();
  DatabaseReference ref(repo_, Path("/a"));
  std::vector<std::string> calls;
  auto first = ref.observeEventType(DataEventType::Value, [&](const DataSnapshot& snapshot) {
    calls.push_back("first " + snapshot.value().toJsonString());
  });
  ref.observeEventType(DataEventType::Value, [&](const DataSnapshot& snapshot) {
    calls.push_back("second " + snapshot.value().toJsonString());
  });
  ref.removeObserverWithHandle(first);
  flush();
  onQueue([&] { connections_.back()->push("d", R"({"p":"a","d":1})"); });
  flush();
  EXPECT_EQ(calls, std::vector<std::string>{"second 1"});
  EXPECT_EQ(connections_.back()->lastNumberOf("n"), -1);
  ref.removeAllObservers();
  flush();
  EXPECT_GE(connections_.back()->lastNumberOf("n"), 0);
}

TEST_F(RepoTest, AChildObserverWithoutABlockListensAndIgnoresItsEvents) {
  start();
  becomeReady();
  DatabaseReference ref(repo_, Path("/a"));
  auto handle = ref.observeEventType(DataEventType::ChildAdded, nullptr);
  flush();
  auto& server = *connections_.back();
  ASSERT_GE(server.lastNumberOf("q"), 0);
  onQueue([&] { server.push("d", R"({"p":"a","d":{"x":1}})"); });
  flush();
  ref.removeObserverWithHandle(handle);
  flush();
  EXPECT_GE(server.lastNumberOf("n"), 0);
}

}  // namespace
}  // namespace dz::database::testing
