// The repository over scripted realtime connections: the test plays the server.
#include <gtest/gtest.h>

#include "core/logger.h"
#include "database/core/repo_store.h"
#include "database/utilities/logging.h"
#include "tests/database/core/repo_fixture.h"
#include "tests/support/capture_stderr.h"

namespace dz::database::testing {
namespace {

TEST_F(RepoTest, InfoConnectedFollowsTheConnectionAndServerTimeTheOffset) {
  start();
  listen("/.info/connected");
  listen("/.info/serverTimeOffset");
  EXPECT_EQ(values_, std::vector<std::string>{"/.info/connected false"});
  becomeReady(1.7e12 + 5000);
  onQueue([&] { connections_.back()->drop(); });
  flush();
  EXPECT_EQ(values_,
            (std::vector<std::string>{"/.info/connected false", "/.info/serverTimeOffset 5E3",
                                      "/.info/connected 1", "/.info/connected 0"}));
  double skew = repo_->serverTime() - SystemClock::clock()->currentTime();
  EXPECT_NEAR(skew, 5.0, 0.5);
}

TEST_F(RepoTest, WritesRaiseLocalEventsAtOnceAndRevertWhenRefused) {
  start();
  becomeReady();
  listen("/a");
  std::vector<std::string> completions;
  onQueue([&] {
    repo_->set(Path("/a"), SnapshotUtilities::nodeFrom(Value(Value::Map{{"x", 1}})),
               [&](const ErrorPtr& error) {
                 completions.push_back(error ? std::to_string(error->code()) : "ok");
               });
  });
  flush();
  EXPECT_EQ(values_.back(), R"(/a {"x":1})");
  onQueue([&] {
    auto& server = *connections_.back();
    server.reply(server.lastNumberOf("q"), "ok", nullptr);
    server.reply(server.lastNumberOf("p"), "permission_denied");
  });
  flush();
  EXPECT_EQ(values_.back(), "/a null");
  EXPECT_EQ(completions, std::vector<std::string>{"1"});
}

TEST_F(RepoTest, AnEmptyUpdateCompletesAtOnceAndSendsNothing) {
  start();
  becomeReady();
  bool completed = false;
  onQueue([&] {
    repo_->update(Path("/a"), CompoundWrite(), [&](const ErrorPtr& e) { completed = !e; });
  });
  flush();
  EXPECT_TRUE(completed);
  EXPECT_EQ(connections_.back()->lastNumberOf("m"), -1);
}

TEST_F(RepoTest, ServerPushesThatCannotBeStoredAreDroppedWhole) {
  start();
  becomeReady();
  listen("/a");
  onQueue([&] { connections_.back()->push("d", R"({"p":"a","d":{"x":1}})"); });
  flush();
  // One child fine, one with a key that cannot be stored: nothing of the merge is applied.
  onQueue([&] {
    connections_.back()->push("m", R"({"p":"a","d":{"y":2,"z":{"bad.key":3}}})");
    connections_.back()->push("d", R"({"p":"a/w","d":{"$x":1}})");
  });
  flush();
  EXPECT_EQ(values_, (std::vector<std::string>{R"(/a {"x":1})"}));
}

TEST_F(RepoTest, ARangeMergeIsLoggedWithItsRanges) {
  start();
  becomeReady();
  listen("/a");
  setLoggingEnabled(true);
  dz::testing::StderrCapture capture(core::flushLog);
  onQueue([&] {
    connections_.back()->push("rm",
                              R"({"p":"a","d":[{"s":"k1","e":"k3","m":{"k2":2}},{"m":{"z":1}}]})");
  });
  flush();
  std::string text = capture.text();
  setLoggingEnabled(false);
  EXPECT_NE(text.find("[Dezuvura/Database][I-RDB03814] onRangeMerge: a => [(start: /k1, end: "
                      "/k3, updates: {\"k2\":2}), (start: none, end: none, updates: "
                      "{\"z\":1})]\n"),
            std::string::npos)
      << text;
}

TEST_F(RepoTest, RestoredWritesAreSortedResentInOrderAndIdsContinue) {
  auto engine = std::make_shared<ScriptedStorageEngine>();
  engine->stored.push_back(WriteRecord::overwrite(7, Path("/b"), SnapshotUtilities::nodeFrom(2)));
  engine->stored.push_back(WriteRecord::overwrite(3, Path("/a"), SnapshotUtilities::nodeFrom(1)));
  engine->stored.push_back(WriteRecord::overwrite(3, Path("/c"), SnapshotUtilities::nodeFrom(9)));
  config_->setPersistenceEnabled(true);
  config_->setForceStorageEngine(engine);
  start();
  becomeReady();
  std::vector<std::string> paths;
  for (const auto& request : connections_.back()->requests) {
    if (request.at("a") == "p") paths.push_back(std::string(request.at("b").at("p").as_string()));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/a", "/b"}));
  onQueue([&] { repo_->set(Path("/d"), SnapshotUtilities::nodeFrom(4), nullptr); });
  EXPECT_EQ(engine->saved, std::vector<WriteId>{8});
}

TEST_F(RepoTest, AfterDisposeNothingReachesTheConnectionOrTheStore) {
  auto engine = std::make_shared<ScriptedStorageEngine>();
  config_->setPersistenceEnabled(true);
  config_->setForceStorageEngine(engine);
  start();
  becomeReady();
  size_t before = connections_.back()->requests.size();
  onQueue([&] { repo_->dispose(); });
  onQueue([&] { repo_->set(Path("/a"), SnapshotUtilities::nodeFrom(1), nullptr); });
  flush();
  EXPECT_TRUE(engine->closed);
  EXPECT_TRUE(engine->saved.empty());
  EXPECT_EQ(connections_.back()->requests.size(), before);
}

TEST_F(RepoTest, ASecondRepositoryOnOneStoreRunsWithoutPersistence) {
  config_->setPersistenceEnabled(true);
  start();
  auto second = makeRepo();
  flush();
  EXPECT_TRUE(repo_->hasPersistence());
  EXPECT_FALSE(second->hasPersistence());
  onQueue([&] { second->dispose(); });
  // Once the first lets go, the store is free again.
  onQueue([&] { repo_->dispose(); });
  auto third = makeRepo();
  flush();
  EXPECT_TRUE(third->hasPersistence());
  onQueue([&] { third->dispose(); });
}

TEST(RepoStoreTest, StorePathsStayInsideTheDocumentsFolder) {
  auto info = RepoInfo::create("ns.dz.test:8080", false, "ns");
  EXPECT_EQ(storePath("default", *info), "default/ns.dz.test:8080_ns");
  EXPECT_EQ(storePath("../x", *info), "..%2Fx/ns.dz.test:8080_ns");
  EXPECT_EQ(storePathComponent(".."), "%2E%2E");
  EXPECT_EQ(storePathComponent(""), "%00");
  EXPECT_EQ(storePathComponent("a%2Fb"), "a%252Fb");
}

}  // namespace
}  // namespace dz::database::testing
