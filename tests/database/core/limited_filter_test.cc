// A limited window that one of its children changes: the child stays, or leaves and the next
// child after the window takes its place. What follows the window is looked up only when the
// child moves past the window's boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "database/core/view/node_filter.h"
#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

NodePtr record(int v) { return SnapshotUtilities::nodeFrom(Value(Value::Map{{"v", Value(v)}})); }

// The children after a post in index order, from the whole data; counts the look-ups.
class AllChildren final : public CompleteChildSource {
 public:
  explicit AllChildren(IndexedNode data) : data_(std::move(data)) {}
  NodePtr completeChild(const std::string& key) const override {
    return data_.node()->getImmediateChild(key);
  }
  std::optional<NamedNode> childAfterChild(const Index& index, const NamedNode& child,
                                           bool reverse) const override {
    ++lookups;
    std::optional<NamedNode> next;
    for (const NamedNode& candidate : data_) {
      int c = reverse ? index.compare(child, candidate) : index.compare(candidate, child);
      if (c > 0 && (!next || (reverse ? index.compare(candidate, *next)
                                      : index.compare(*next, candidate)) > 0)) {
        next = candidate;
      }
    }
    return next;
  }
  mutable int lookups = 0;

 private:
  IndexedNode data_;
};

TEST(LimitedFilterWindow, AChildMovesWithinOrOutOfTheWindow) {
  struct Case {
    const char* name;
    bool reverse;
    const char* key;
    int v;
    std::vector<std::string> window;  // in key order
    bool lookedUp;
  };
  // Children a..f hold 10..60; the first three by v are a, b, c (reversed: f, e, d).
  const std::vector<Case> cases{
      {"moves up within", false, "b", 5, {"a", "b", "c"}, false},
      {"boundary moves up", false, "c", 15, {"a", "b", "c"}, false},
      {"boundary moves down but before the next", false, "c", 35, {"a", "b", "c"}, true},
      {"moves out past the next", false, "a", 45, {"b", "c", "d"}, true},
      {"reversed, moves within", true, "e", 70, {"d", "e", "f"}, false},
      {"reversed, moves out", true, "f", 15, {"c", "d", "e"}, true},
  };
  const IndexPtr index = PathIndex::create(Path("v"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodePtr all = EmptyNode::emptyNode();
    for (int i = 0; i < 6; ++i) {
      all = all->updateImmediateChild(std::string(1, static_cast<char>('a' + i)),
                                      record(10 * (i + 1)));
    }
    QueryParams params = QueryParams().orderBy(index);
    params = c.reverse ? params.limitToLast(3) : params.limitToFirst(3);
    LimitedFilter filter(params);
    IndexedNode window = filter.updateFullNode(IndexedNode(EmptyNode::emptyNode(), index),
                                               IndexedNode(all, index), nullptr);
    AllChildren source(IndexedNode(all->updateImmediateChild(c.key, record(c.v)), index));
    ChildChangeAccumulator changes;
    IndexedNode after = filter.updateChild(window, c.key, record(c.v), Path("v"), source, &changes);
    std::vector<std::string> keys;
    for (const auto& entry : after.node()->children()) keys.push_back(entry.key);
    EXPECT_EQ(keys, c.window);
    EXPECT_TRUE(nodesEqual(after.node()->getImmediateChild(c.key),
                           std::count(c.window.begin(), c.window.end(), c.key)
                               ? record(c.v)
                               : EmptyNode::emptyNode()));
    EXPECT_EQ(source.lookups > 0, c.lookedUp);
    EXPECT_FALSE(changes.takeChanges().empty());
  }
}

// The view processor hands the filters the old child when it already has it; every filter must
// then give the data and the changes it gives when it finds the child itself.
TEST(LimitedFilterWindow, FiltersGivenTheOldChildMatchThoseThatFindIt) {
  const IndexPtr index = PathIndex::create(Path("v"));
  QueryParams ordered = QueryParams().orderBy(index);
  const IndexedFilter indexed(index);
  const RangedFilter ranged(ordered.startAt(SnapshotUtilities::nodeFrom(Value(20)))
                                .endAt(SnapshotUtilities::nodeFrom(Value(60))));
  const LimitedFilter first(ordered.limitToFirst(3));
  const LimitedFilter last(ordered.limitToLast(3));
  const std::vector<const NodeFilter*> filters{&indexed, &ranged, &first, &last};
  std::mt19937 random(5);
  auto below = [&random](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  NodePtr all = EmptyNode::emptyNode();
  for (int i = 0; i < 8; ++i) {
    all = all->updateImmediateChild(std::string(1, static_cast<char>('a' + i)), record(10 * i));
  }
  for (const NodeFilter* filter : filters) {
    IndexedNode snap = filter->updateFullNode(IndexedNode(EmptyNode::emptyNode(), index),
                                              IndexedNode(all, index), nullptr);
    NodePtr data = all;
    for (int step = 0; step < 200; ++step) {
      std::string key(1, static_cast<char>('a' + below(10)));
      NodePtr child = below(5) == 0 ? EmptyNode::emptyNode() : record(below(90));
      data = data->updateImmediateChild(key, child);
      AllChildren source(IndexedNode(data, index));
      ChildChangeAccumulator foundChanges, givenChanges;
      IndexedNode found = filter->updateChild(snap, key, child, Path("v"), source, &foundChanges);
      IndexedNode given = filter->updateChildFrom(snap, key, snap.node()->getImmediateChild(key),
                                                  child, Path("v"), source, &givenChanges);
      ASSERT_TRUE(nodesEqual(found.node(), given.node())) << step;
      std::vector<Change> a = foundChanges.takeChanges(), b = givenChanges.takeChanges();
      ASSERT_EQ(a.size(), b.size()) << step;
      for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].type, b[i].type);
        EXPECT_EQ(a[i].childKey, b[i].childKey);
        EXPECT_TRUE(nodesEqual(a[i].node, b[i].node));
      }
      snap = given;
    }
  }
}

}  // namespace
}  // namespace dz::database
