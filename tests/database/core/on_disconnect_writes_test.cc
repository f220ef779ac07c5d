// On-disconnect writes: the sparse tree's rules, and the repository keeping what the server
// acknowledged and applying it locally at a drop.
#include "database/core/on_disconnect_writes.h"

#include <gtest/gtest.h>

#include "database/core/server_values.h"
#include "database/core/sparse_snapshot_tree.h"
#include "database/core/transaction_queue.h"
#include "tests/database/core/repo_fixture.h"

namespace dz::database::testing {
namespace {

// "path=value" for every stored value, in visiting order.
std::string stored(const SparseSnapshotTree& tree) {
  std::string out;
  tree.forEachTree(Path(), [&](const Path& path, const NodePtr& value) {
    out += (out.empty() ? "" : " ") + path.toString() + "=" + value->description();
  });
  return out;
}

TEST(SparseSnapshotTreeTest, RememberAndForgetFollowTheStoredValues) {
  SparseSnapshotTree tree;
  tree.remember(Path("/a"), textNode(R"({"x":1})"));
  tree.remember(Path("/a/y"), textNode("2"));  // lands inside the stored value
  tree.remember(Path("/b/c"), textNode("3"));
  EXPECT_EQ(stored(tree), R"(/a={"x":1,"y":2} /b/c=3)");
  EXPECT_EQ(tree.find(Path("/a/y"))->description(), "2");
  EXPECT_EQ(tree.find(Path("/b")), nullptr);

  tree.forget(Path("/a/y"));  // splits the value; only that child goes
  EXPECT_EQ(stored(tree), "/a/x=1 /b/c=3");
  tree.forget(Path("/b/c/d"));  // nothing can be removed below a leaf
  EXPECT_EQ(stored(tree), "/a/x=1 /b/c=3");
  tree.remember(Path("/r"), EmptyNode::emptyNode());
  tree.forget(Path("/r/s"));  // a removal has no children to keep
  EXPECT_EQ(stored(tree), "/a/x=1 /b/c=3");
  tree.forget(Path("/b"));
  EXPECT_EQ(stored(tree), "/a/x=1");
  EXPECT_TRUE(tree.forget(Path()));
  EXPECT_TRUE(tree.isEmpty());
}

TEST(SparseSnapshotTreeTest, ServerValuesResolveAtEveryStoredPath) {
  SparseSnapshotTree tree;
  tree.remember(Path("/a/t"), textNode(R"({".sv":"timestamp"})"));
  tree.remember(Path("/b"), textNode(R"({"when":{".sv":"timestamp"},"keep":1})"));
  SparseSnapshotTree resolved =
      ServerValues::resolveDeferredValueTree(tree, {{"timestamp", Value(int64_t{99})}});
  EXPECT_EQ(stored(resolved), R"(/a/t=99 /b={"keep":1,"when":99})");
  EXPECT_EQ(stored(tree), R"(/a/t={".sv":"timestamp"} /b={"keep":1,"when":{".sv":"timestamp"}})");
}

class OnDisconnectWritesTest : public OnlineRepoTest {
 protected:
  // Makes `operation` and answers its request with `status`; returns the callback's error code.
  std::string answer(const std::function<void(RepoWriteCallback)>& operation,
                     const std::string& action, const std::string& status) {
    auto result = std::make_shared<std::string>("none");
    onQueue([&] {
      operation([result](const ErrorPtr& error) {
        *result = error ? std::to_string(error->code()) : "ok";
      });
      server().reply(server().lastNumberOf(action), status);
    });
    flush();
    return *result;
  }
  std::string kept() {
    std::string out;
    onQueue([&] { out = stored(repo_->onDisconnectWrites()->stored()); });
    return out;
  }
};

TEST_F(OnDisconnectWritesTest, KeepsWhatTheServerAcknowledgedAndAppliesItAtADrop) {
  listen("/p");
  onQueue([&] { server().reply(server().lastNumberOf("q"), "ok"); });
  EXPECT_EQ(answer([&](auto cb) { repo_->onDisconnectSet(Path("/p/a"), textNode("false"), cb); },
                   "o", "ok"),
            "ok");
  EXPECT_EQ(answer(
                [&](auto cb) {
                  repo_->onDisconnectUpdate(
                      Path("/p"),
                      CompoundWrite().addWrite(Path("b"), textNode(R"({".sv":"timestamp"})")), cb);
                },
                "om", "ok"),
            "ok");
  EXPECT_EQ(answer([&](auto cb) { repo_->onDisconnectSet(Path("/p/c"), textNode("1"), cb); }, "o",
                   "permission_denied"),
            "1");
  EXPECT_EQ(kept(), R"(/p/a=false /p/b={".sv":"timestamp"})");
  EXPECT_EQ(answer([&](auto cb) { repo_->onDisconnectCancel(Path("/p/a"), cb); }, "oc", "ok"),
            "ok");

  // The server's clock is 5 s ahead: placeholders resolve against it at the drop.
  onQueue([&] { repo_->onServerInfoUpdate(&repo_->connection(), {{"serverTimeOffset", 5000}}); });
  double before = SystemClock::clock()->currentTime() + 5;
  onQueue([&] { server().drop(); });
  flush();
  auto value = Value::parseJson(values_.back().substr(3));
  ASSERT_TRUE(value);
  double applied = static_cast<double>((*value)["b"].asInt()) / 1000;
  EXPECT_GE(applied, before - 1);
  EXPECT_LE(applied, SystemClock::clock()->currentTime() + 6);
  EXPECT_EQ(kept(), "");
}

TEST_F(OnDisconnectWritesTest, AnEmptyUpdateCompletesAtOnceAndSendsNothing) {
  bool completed = false;
  onQueue([&] {
    repo_->onDisconnectUpdate(Path("/a"), CompoundWrite(),
                              [&](const ErrorPtr& error) { completed = !error; });
  });
  flush();
  EXPECT_TRUE(completed);
  EXPECT_EQ(server().lastNumberOf("om"), -1);
}

TEST_F(OnDisconnectWritesTest, ATransactionUnderAnAppliedWriteAbortsWithSet) {
  answer([&](auto cb) { repo_->onDisconnectSet(Path("/a"), textNode(R"({"n":0})"), cb); }, "o",
         "ok");
  std::vector<std::string> outcomes;
  auto start = [&] {
    repo_->startTransaction(
        Path("/a/n"), [](const NodePtr&) { return textNode("5"); },
        [&outcomes](const ErrorPtr& error, bool committed, const NodePtr&) {
          outcomes.push_back((error ? error->localizedDescription() : "ok") +
                             (committed ? " committed" : " aborted"));
        },
        true);
  };
  // The second waits behind the first; at the drop the first ends with "disconnect" and the
  // second is handed to the connection again, to be overruled by the applied write.
  onQueue(start);
  onQueue(start);
  onQueue([&] { server().drop(); });
  flush();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0], "Client was disconnected while running a transaction aborted");
  scheduler_->advance(std::chrono::minutes(5));
  flush();
  becomeReady();
  onQueue([&] {
    for (const auto& request : server().requests) {
      if (request.at("a").as_string() == "q") server().reply(request.at("r").as_int64(), "ok");
    }
    server().reply(server().lastNumberOf("p"), "datastale");
  });
  flush();
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1], "set aborted");
  size_t left = 1;
  onQueue([&] { left = repo_->transactionQueue()->size(); });
  EXPECT_EQ(left, 0u);
}

}  // namespace
}  // namespace dz::database::testing
