// The server's own on-disconnect store and server values, cross-checked with the client's sparse
// snapshot tree and server value resolution on random operations and data: both follow
// docs/on-disconnect.md and docs/data-model.md, so any disagreement is a fault on one side.
#include "tools/devserver/on_disconnect_store.h"

#include <gtest/gtest.h>

#include <iostream>

#include "database/core/server_values.h"
#include "database/core/sparse_snapshot_tree.h"
#include "tests/database/snapshot/random_node_fixture.h"
#include "tools/devserver/database_tree.h"

namespace dz::devserver {
namespace {

using database::NodePtr;
using database::Path;
using database::SnapshotUtilities;

NodePtr nodeOf(std::string_view json) {
  return SnapshotUtilities::nodeFromJson(parseJsonText(json).value());
}

std::string describe(const std::vector<std::pair<Path, NodePtr>>& writes) {
  std::string text;
  for (const auto& [path, node] : writes) text += path.toString() + "=" + node->description() + " ";
  return text;
}

TEST(OnDisconnectStoreTest, TheRulesOfTheDoc) {
  OnDisconnectStore store;
  // A value with children, once split by a cancel, sets its children one by one.
  store.set(Path("/users/u1"), nodeOf(R"({"online": false, "seen": 5})"));
  store.cancel(Path("/users/u1/typing"));
  // An update over a set lands inside it.
  store.set(Path("/a"), nodeOf(R"({"x": 1})"));
  store.set(Path("/a/y"), nodeOf("2"));
  // A cancel under a stored removal cancels the removal; under a leaf it changes nothing.
  store.set(Path("/gone"), database::EmptyNode::emptyNode());
  store.cancel(Path("/gone/b"));
  store.set(Path("/leaf"), nodeOf("\"x\""));
  store.cancel(Path("/leaf/deeper"));
  // A set replaces what is stored below it; a cancel drops what is at and below it.
  store.set(Path("/10/b"), nodeOf("1"));
  store.set(Path("/10"), nodeOf("3"));
  store.set(Path("/9/c"), nodeOf("4"));
  store.cancel(Path("/9"));
  EXPECT_EQ(describe(store.writes()),
            R"(/10=3 /a={"x":1,"y":2} /leaf="x" /users/u1/online=false /users/u1/seen=5 )");
}

class RandomOperations : public database::testing::RandomValues {
 public:
  using RandomValues::RandomValues;

  Path path() {
    static const std::vector<std::string> keys = {"a", "b", "10", "9", "c"};
    std::vector<std::string> path;
    int depth = below(4);
    for (int i = 0; i < depth; ++i) path.push_back(keys[below(static_cast<int>(keys.size()))]);
    return Path(std::move(path));
  }

  // A plain value with timestamp placeholders among its values and priorities.
  Value withServerValues(int depth) {
    static const Value kTimestamp(Value::Map{{".sv", Value("timestamp")}});
    auto placeholderOr = [&](Value value) { return chance(30) ? kTimestamp : value; };
    Value::Map map;
    if (depth == 0 || chance(35)) {
      Value leafValue = placeholderOr(leaf());
      if (!chance(30)) return leafValue;
      if (leafValue.isMap()) {
        map = leafValue.asMap();
      } else {
        map.emplace(".value", leafValue);
      }
      map.emplace(".priority", placeholderOr(priority()));
      return Value(std::move(map));
    }
    int count = 1 + below(3);
    for (int i = 0; i < count; ++i) map.insert_or_assign(key(), withServerValues(depth - 1));
    if (chance(25)) map.emplace(".priority", placeholderOr(priority()));
    return Value(std::move(map));
  }

  NodePtr value() {
    if (chance(15)) return database::EmptyNode::emptyNode();
    return SnapshotUtilities::nodeFrom(withServerValues(2));
  }
};

TEST(OnDisconnectStoreTest, AgreesWithTheClientsSparseTree) {
  size_t cases = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    RandomOperations random(seed);
    OnDisconnectStore server;
    database::SparseSnapshotTree client;
    std::string operations;
    int count = 1 + random.below(8);
    for (int i = 0; i < count; ++i) {
      Path path = random.path();
      if (random.chance(30)) {
        server.cancel(path);
        client.forget(path);
        operations += "cancel " + path.toString() + "; ";
      } else {
        NodePtr value = random.value();
        server.set(path, value);
        client.remember(path, value);
        operations += "set " + path.toString() + " " + value->description() + "; ";
      }
      std::vector<std::pair<Path, NodePtr>> clientWrites;
      client.forEachTree(Path(), [&](const Path& at, const NodePtr& node) {
        clientWrites.emplace_back(at, node);
      });
      ++cases;
      ASSERT_EQ(describe(server.writes()), describe(clientWrites))
          << "seed " << seed << ": " << operations;
    }
  }
  std::cout << "[ on-disconnect stores compared: " << cases << " ]\n";
}

TEST(OnDisconnectStoreTest, ServerValuesResolveAsTheClientResolvesThem) {
  constexpr int64_t kNow = 1700000000123;
  const Value::Map serverValues{{"timestamp", Value(static_cast<long long>(kNow))}};
  size_t cases = 0;
  for (uint32_t seed = 1; seed <= 5000; ++seed) {
    RandomOperations random(seed);
    NodePtr written = SnapshotUtilities::nodeFrom(random.withServerValues(3));
    NodePtr server =
        SnapshotUtilities::nodeFromJson(resolveServerValues(jsonOfNode(*written), kNow));
    NodePtr client = database::ServerValues::resolveDeferredValueSnapshot(written, serverValues);
    ++cases;
    ASSERT_TRUE(server->equals(*client))
        << "seed " << seed << " written " << written->description() << "\nserver "
        << server->description() << "\nclient " << client->description();
  }
  std::cout << "[ server value resolutions compared: " << cases << " ]\n";
}

}  // namespace
}  // namespace dz::devserver
