// The views at one location under server overwrites and merges: views that hold one server node
// go on holding one node, with the data a direct update gives and their windows in step with it;
// a view whose server data differs keeps its own.
#include "database/core/sync_point.h"

#include <gtest/gtest.h>

#include "database/core/view/event_registration.h"
#include "database/core/write_tree.h"
#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

// A sync point at /list with its pending writes, applying server overwrites as the sync tree does.
class ListLocation {
 public:
  void add(const QuerySpec& query, const NodePtr& server, bool complete) {
    point_.addEventRegistration(query, ValueEventRegistration::create(++handles_, nullptr),
                                writes_.childWrites(path_), server, complete);
  }
  void serverSet(const std::string& relativePath, const NodePtr& snap) {
    apply(Operation::overwrite(OperationSource::server(), Path(relativePath), snap));
  }
  void serverUpdate(const std::string& json) {
    apply(Operation::merge(OperationSource::server(), Path(), merge(json)));
  }
  const View& view(size_t index) const { return *point_.views().at(index); }

 private:
  void apply(const Operation& operation) {
    point_.applyOperation(operation, writes_.childWrites(path_),
                          CompleteServerData::after(operation, point_.completeServerCache(Path())));
  }

  Path path_{"/list"};
  WriteTree writes_;
  SyncPoint point_;
  Handle handles_ = 0;
};

// The keys of the first `limit` children of `data` by `index`, in order.
std::vector<std::string> firstKeys(const NodePtr& data, const IndexPtr& index, size_t limit) {
  std::vector<std::string> keys;
  for (const NamedNode& child : IndexedNode(data, index)) {
    if (keys.size() == limit) break;
    keys.push_back(child.name);
  }
  return keys;
}

std::vector<std::string> keysInOrder(const IndexedNode& data) {
  std::vector<std::string> keys;
  for (const NamedNode& child : data) keys.push_back(child.name);
  return keys;
}

TEST(SyncPointServerData, ViewsHoldingOneNodeGoOnSharingTheNodeEachUpdateLeaves) {
  NodePtr expected = node(R"({"a":{"n":1},"b":{"n":2},"c":{"n":3},"d":{"n":4}})");
  QuerySpec firstTwo = query("/list", byChild("n").limitToFirst(2));
  const IndexPtr& byN = firstTwo.params().index();
  ListLocation list;
  list.add(query("/list"), expected, true);
  list.add(firstTwo, expected, true);
  // Overwrites (a path) and merges (no path): moves a child into the window, removes one, adds
  // one, rewrites a value unchanged, writes below a leaf, gives a child a priority, and merges
  // all of that at once.
  const std::vector<std::pair<std::string, std::string>> updates = {
      {"c/n", "0"},
      {"a", "null"},
      {"e", R"({"n":-1})"},
      {"b/n", "2"},
      {"d/n/deep", "5"},
      {"b/.priority", "7"},
      {"", R"({"e":null,"f":{"n":-2},"c/n":9,"d":{"n":1},"b/n":2})"},
      {"f/n", "8"}};
  for (const auto& [path, json] : updates) {
    SCOPED_TRACE(path + " " + json);
    const NodePtr before = list.view(0).serverCache();
    if (path.empty()) {
      merge(json).enumerateWrites([&](const Path& childPath, const NodePtr& child) {
        expected = expected->updateChild(childPath, child);
        return false;
      });
      list.serverUpdate(json);
    } else {
      NodePtr snap = node(json);
      expected = expected->updateChild(Path(path), snap);
      list.serverSet(path, snap);
    }
    const View& all = list.view(0);
    const View& window = list.view(1);
    EXPECT_EQ(all.serverCache().get(), window.serverCache().get());
    EXPECT_TRUE(nodesEqual(all.serverCache(), expected)) << all.serverCache()->val().toJsonString();
    EXPECT_TRUE(nodesEqual(all.completeNode(), expected));
    // The window's server data stays in its index order, and its window follows.
    EXPECT_EQ(keysInOrder(window.viewCache().serverCache().indexedNode()),
              keysInOrder(IndexedNode(expected, byN)));
    EXPECT_EQ(keysInOrder(window.viewCache().eventCache().indexedNode()),
              firstKeys(expected, byN, 2));
    if (path == "b/n") {
      EXPECT_EQ(all.serverCache().get(), before.get());  // nothing changed
    }
  }
}

TEST(SyncPointServerData, AViewWhoseServerDataDiffersKeepsItsOwn) {
  ListLocation list;
  // The window knows only some children; the default view, after it, all of them.
  list.add(query("/list", byChild("n").limitToFirst(2)), node(R"({"a":{"n":1},"b":{"n":2}})"),
           false);
  list.add(query("/list"), node(R"({"a":{"n":1},"b":{"n":2},"c":{"n":3}})"), true);
  list.serverSet("b", node(R"({"n":9})"));
  EXPECT_EQ(list.view(0).serverCache()->val().toJsonString(), R"({"a":{"n":1},"b":{"n":9}})");
  EXPECT_EQ(list.view(1).serverCache()->val().toJsonString(),
            R"({"a":{"n":1},"b":{"n":9},"c":{"n":3}})");
}

TEST(SyncPointServerData, APriorityAtTheLocationIsAppliedByEachView) {
  NodePtr data = node(R"({"a":{"n":1},"b":{"n":2}})");
  ListLocation list;
  list.add(query("/list"), data, true);
  list.add(query("/list", byChild("n").limitToFirst(1)), data, true);
  const IndexedNode& windowOrder = list.view(1).viewCache().serverCache().indexedNode();
  ASSERT_EQ(keysInOrder(windowOrder), (std::vector<std::string>{"a", "b"}));  // built now
  list.serverSet(".priority", node("3"));
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(list.view(i).serverCache()->val(true).toJsonString(),
              R"({".priority":3,"a":{"n":1},"b":{"n":2}})");
  }
  // The priority is no child: the window's order still holds the children alone.
  EXPECT_EQ(keysInOrder(list.view(1).viewCache().serverCache().indexedNode()),
            (std::vector<std::string>{"a", "b"}));
}

TEST(CompleteServerData, AnUpdateIsSharedOnlyOverItsOwnDataAtItsPathWithItsData) {
  NodePtr data = node(R"({"a":{"n":1},"b":{"n":2}})");
  NodePtr snap = node(R"({"x":5})");
  Operation overwrite = Operation::overwrite(OperationSource::server(), Path("a/n"), snap);
  CompleteServerData after = CompleteServerData::after(overwrite, data);
  NodePtr shared = after.updateOf(data, Path("a/n"), snap);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared->val().toJsonString(), R"({"a":{"n":{"x":5}},"b":{"n":2}})");
  // Built once: every view that asks gets the same node, and so does a window refilling.
  EXPECT_EQ(after.updateOf(data, Path("a/n"), node(R"({"x":5})")), shared);
  EXPECT_EQ(after.node(), shared);
  // Equal data in another node, another path or other data written is another update.
  EXPECT_EQ(after.updateOf(node(R"({"a":{"n":1},"b":{"n":2}})"), Path("a/n"), snap), nullptr);
  EXPECT_EQ(after.updateOf(data, Path("b/n"), snap), nullptr);
  EXPECT_EQ(after.updateOf(data, Path("a/n"), node(R"({"x":6})")), nullptr);

  // Updates the views make are shared the same way, in any order.
  CompleteServerData plain(data);
  NodePtr first = data->updateChild(Path("a"), snap);
  NodePtr second = first->updateChild(Path("b"), snap);
  plain.noteUpdate(data, Path("a"), snap, first);
  plain.noteUpdate(first, Path("b"), snap, second);
  EXPECT_EQ(plain.updateOf(first, Path("b"), node(R"({"x":5})")), second);
  EXPECT_EQ(plain.updateOf(data, Path("a"), snap), first);
  EXPECT_EQ(plain.updateOf(data, Path("b"), snap), nullptr);
  EXPECT_EQ(plain.updateOf(second, Path("a"), snap), nullptr);
}

}  // namespace
}  // namespace dz::database::testing
