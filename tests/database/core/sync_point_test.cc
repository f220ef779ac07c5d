// The views at one location under server overwrites: views that hold one server node go on
// holding one node, with the data a direct update gives and their windows in step with it; a view
// whose server data differs keeps its own.
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
    Operation overwrite = Operation::overwrite(OperationSource::server(), Path(relativePath), snap);
    NodePtr complete = point_.completeServerCache(Path());
    point_.applyOperation(
        overwrite, writes_.childWrites(path_),
        complete ? CompleteServerData::afterOverwrite(complete, overwrite) : CompleteServerData());
  }
  const View& view(size_t index) const { return *point_.views().at(index); }

 private:
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

TEST(SyncPointServerData, ViewsHoldingOneNodeGoOnSharingTheNodeEachOverwriteLeaves) {
  NodePtr expected = node(R"({"a":{"n":1},"b":{"n":2},"c":{"n":3},"d":{"n":4}})");
  QuerySpec firstTwo = query("/list", byChild("n").limitToFirst(2));
  const IndexPtr& byN = firstTwo.params().index();
  ListLocation list;
  list.add(query("/list"), expected, true);
  list.add(firstTwo, expected, true);
  // Moves a child into the window, removes one, adds one, rewrites a value unchanged, writes
  // below a leaf, and gives a child a priority.
  const std::vector<std::pair<std::string, std::string>> overwrites = {
      {"c/n", "0"}, {"a", "null"},     {"e", R"({"n":-1})"},
      {"b/n", "2"}, {"d/n/deep", "5"}, {"b/.priority", "7"}};
  for (const auto& [path, json] : overwrites) {
    SCOPED_TRACE(path);
    const NodePtr before = list.view(0).serverCache();
    NodePtr snap = node(json);
    expected = expected->updateChild(Path(path), snap);
    list.serverSet(path, snap);
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
    if (path == "b/n") EXPECT_EQ(all.serverCache().get(), before.get());  // nothing changed
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

TEST(CompleteServerData, AnOverwriteIsSharedOnlyOverItsOwnDataAtItsPathWithItsSnap) {
  NodePtr data = node(R"({"a":{"n":1},"b":{"n":2}})");
  NodePtr snap = node(R"({"x":5})");
  Operation overwrite = Operation::overwrite(OperationSource::server(), Path("a/n"), snap);
  CompleteServerData after = CompleteServerData::afterOverwrite(data, overwrite);
  const NodePtr* shared = after.overwriteOf(data, Path("a/n"), snap);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ((*shared)->val().toJsonString(), R"({"a":{"n":{"x":5}},"b":{"n":2}})");
  // Built once: every view that asks gets the same node, and so does a window refilling.
  EXPECT_EQ(after.overwriteOf(data, Path("a/n"), snap)->get(), shared->get());
  EXPECT_EQ(after.node().get(), shared->get());
  // Equal data, another path or another snap is not the overwrite this data is the result of.
  EXPECT_EQ(after.overwriteOf(node(R"({"a":{"n":1},"b":{"n":2}})"), Path("a/n"), snap), nullptr);
  EXPECT_EQ(after.overwriteOf(data, Path("b/n"), snap), nullptr);
  EXPECT_EQ(after.overwriteOf(data, Path("a/n"), node(R"({"x":5})")), nullptr);
  EXPECT_EQ(CompleteServerData(data).overwriteOf(data, Path("a/n"), snap), nullptr);
}

}  // namespace
}  // namespace dz::database::testing
