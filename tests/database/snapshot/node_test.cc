#include "database/snapshot/node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "database/snapshot/snapshot_utilities.h"
#include "platform/exception.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::leaf;
using node_literals::node;

TEST(NodeTest, EmptyNodeIsSharedAndHasNoData) {
  const NodePtr& empty = EmptyNode::emptyNode();
  EXPECT_EQ(empty.get(), EmptyNode::emptyNode().get());
  EXPECT_TRUE(empty->isEmpty());
  EXPECT_FALSE(empty->isLeafNode());
  EXPECT_EQ(empty->numChildren(), 0u);
  EXPECT_TRUE(empty->val().isNull());
  EXPECT_TRUE(empty->val(true).isNull());
  EXPECT_TRUE(empty->getPriority()->isEmpty());
  EXPECT_EQ(empty->dataHash(), "");
  EXPECT_EQ(SnapshotUtilities::nodeFrom(Value()).get(), empty.get());
}

TEST(NodeTest, GetChildWalksPathsAndAnswersEmptyWhenAbsent) {
  NodePtr tree = node(R"({"a": {"b": {"c": 5}}, "x": "y"})");
  EXPECT_EQ(tree->getChild(Path("a/b/c"))->val(), Value(5));
  EXPECT_EQ(tree->getChild(Path()).get(), tree.get());
  EXPECT_TRUE(tree->getChild(Path("a/q/c"))->isEmpty());
  EXPECT_TRUE(tree->getChild(Path("x/y"))->isEmpty());  // below a leaf
  EXPECT_TRUE(tree->hasChild("a"));
  EXPECT_FALSE(tree->hasChild("q"));
}

TEST(NodeTest, UpdateChildSharesUntouchedSubtreesAndLeavesTheOldNodeAlone) {
  NodePtr before = node(R"({"a": {"b": 1, "c": 2}, "d": {"e": 3}})");
  NodePtr after = before->updateChild(Path("a/b"), leaf(10));
  EXPECT_EQ(before->getChild(Path("a/b"))->val(), Value(1));
  EXPECT_EQ(after->getChild(Path("a/b"))->val(), Value(10));
  EXPECT_EQ(after->getChild(Path("d")).get(), before->getChild(Path("d")).get());
  EXPECT_EQ(after->getChild(Path("a/c")).get(), before->getChild(Path("a/c")).get());
}

TEST(NodeTest, UpdatesThatChangeNothingReturnTheSameNode) {
  NodePtr tree = node(R"({"a": {"b": 1}})");
  EXPECT_EQ(tree->updateImmediateChild("q", EmptyNode::emptyNode()).get(), tree.get());
  EXPECT_EQ(tree->updateChild(Path("a/b"), tree->getChild(Path("a/b"))).get(), tree.get());
  EXPECT_EQ(tree->updatePriority(EmptyNode::emptyNode()).get(), tree.get());
  NodePtr prioritized = tree->updatePriority(leaf(3));
  EXPECT_EQ(prioritized->updatePriority(leaf(3.0)).get(), prioritized.get());
  NodePtr one = leaf(1);
  EXPECT_EQ(one->updateImmediateChild("a", EmptyNode::emptyNode()).get(), one.get());
}

TEST(NodeTest, RemovingTheLastChildGivesTheSharedEmptyNode) {
  NodePtr tree = node(R"({"a": {"b": 1}})")->updatePriority(leaf(4));
  NodePtr emptied = tree->updateChild(Path("a/b"), EmptyNode::emptyNode());
  EXPECT_EQ(emptied.get(), EmptyNode::emptyNode().get());
}

TEST(NodeTest, LeafGivenAChildBecomesAChildrenNodeKeepingItsPriority) {
  NodePtr withPriority = leaf("text")->updatePriority(leaf(7));
  NodePtr children = withPriority->updateImmediateChild("k", leaf(true));
  EXPECT_FALSE(children->isLeafNode());
  EXPECT_EQ(children->getChild(Path("k"))->val(), Value(true));
  EXPECT_EQ(children->getPriority()->val(), Value(7));
  // Writing below a leaf replaces the leaf.
  NodePtr tree = node(R"({"a": 1})")->updateChild(Path("a/b/c"), leaf(2));
  EXPECT_EQ(tree->val(), *Value::parseJson(R"({"a": {"b": {"c": 2}}})"));
}

TEST(NodeTest, PriorityIsReachableAsAChildAndWritableByPath) {
  NodePtr tree = node(R"({"a": {"b": 1}})");
  NodePtr updated = tree->updateChild(Path("a/.priority"), leaf("p"));
  EXPECT_EQ(updated->getChild(Path("a"))->getPriority()->val(), Value("p"));
  EXPECT_EQ(updated->getChild(Path("a/.priority"))->val(), Value("p"));
  EXPECT_EQ(leaf(1)->updatePriority(leaf(2))->getImmediateChild(".priority")->val(), Value(2));
}

TEST(NodeTest, ChildrenIterateInKeyOrderBothWays) {
  NodePtr tree = node(R"({"b": 1, "10": 2, "a": 3, "9": 4, "007": 5})");
  std::vector<std::string> keys;
  tree->enumerateChildren([&](const std::string& key, const NodePtr&) {
    keys.push_back(key);
    return false;
  });
  EXPECT_EQ(keys, (std::vector<std::string>{"007", "9", "10", "a", "b"}));
  keys.clear();
  tree->enumerateChildren(
      [&](const std::string& key, const NodePtr&) {
        keys.push_back(key);
        return keys.size() == 2;
      },
      true);
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(tree->predecessorChildKey("10"), "9");
  EXPECT_EQ(tree->predecessorChildKey("007"), std::nullopt);
  EXPECT_EQ(tree->successorChildKey("b"), std::nullopt);
  EXPECT_EQ(tree->successorChildKey("10"), "a");
}

TEST(NodeTest, EqualityIsDeepAndTreatsIntAndDoubleAlike) {
  EXPECT_TRUE(*node(R"({"a": 1, "b": {"c": "x"}})") == *node(R"({"b": {"c": "x"}, "a": 1.0})"));
  EXPECT_FALSE(*node(R"({"a": 1})") == *node(R"({"a": 1.5})"));
  EXPECT_FALSE(*node(R"({"a": 1})") == *node(R"({"a": "1"})"));
  EXPECT_FALSE(*leaf(1) == *leaf(1)->updatePriority(leaf(1)));
  EXPECT_FALSE(*leaf(true) == *leaf(1));
  // 2^53 + 1 is not the double 2^53.
  EXPECT_FALSE(*leaf(Value(9007199254740993LL)) == *leaf(Value(9007199254740992.0)));
  EXPECT_TRUE(*leaf(Value(9007199254740992LL)) == *leaf(Value(9007199254740992.0)));
}

TEST(NodeTest, NonFiniteNumbersCannotMakeALeaf) {
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    try {
      LeafNode::create(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), "InvalidDezuvuraData");
    }
  }
}

TEST(NodeTest, ArrayRuleForPlainValues) {
  // Keys "0", "1", "3": an array of four with null at index 2.
  Value array = node(R"({"0": "a", "1": "b", "3": "d"})")->val();
  ASSERT_TRUE(array.isArray());
  ASSERT_EQ(array.size(), 4u);
  EXPECT_TRUE(array.asArray()[2].isNull());
  EXPECT_EQ(array.asArray()[3], Value("d"));
  // 6 is not below 2 x 3.
  EXPECT_TRUE(node(R"({"0": 1, "1": 1, "6": 1})")->val().isMap());
  EXPECT_EQ(node(R"({"0": 1, "1": 1, "5": 1})")->val().size(), 6u);
  EXPECT_TRUE(node(R"({"0": 1, "1": 1, "5": 1})")->val().isArray());
  // A leading zero on a longer key disqualifies; "0" alone is fine.
  EXPECT_TRUE(node(R"({"01": 1, "1": 1})")->val().isMap());
  EXPECT_TRUE(node(R"({"0": 1})")->val().isArray());
  EXPECT_TRUE(node(R"({"1": 1})")->val().isArray());  // [null, 1]
  EXPECT_TRUE(node(R"({"2": 1})")->val().isMap());    // 2 is not below 2 x 1
  EXPECT_TRUE(node(R"({"0": 1, "a": 1})")->val().isMap());
  EXPECT_TRUE(node(R"({"0": 1, "99999999999999999999": 1})")->val().isMap());
  // The export form never makes arrays and nested arrays follow the rule on their own.
  EXPECT_TRUE(node(R"({"0": "a", "1": "b", "3": "d"})")->val(true).isMap());
  EXPECT_EQ(node(R"({"x": ["a", ["b"]]})")->val(), *Value::parseJson(R"({"x": ["a", ["b"]]})"));
}

TEST(NodeTest, ExportFormKeepsPriorities) {
  NodePtr prioritizedLeaf = leaf("v")->updatePriority(leaf(7));
  EXPECT_EQ(prioritizedLeaf->val(), Value("v"));
  EXPECT_EQ(prioritizedLeaf->val(true), *Value::parseJson(R"({".value": "v", ".priority": 7})"));
  NodePtr tree = node(R"({"a": {".value": 1, ".priority": "p"}, ".priority": 2.5})");
  EXPECT_EQ(tree->val(), *Value::parseJson(R"({"a": 1})"));
  EXPECT_EQ(tree->val(true),
            *Value::parseJson(R"({"a": {".value": 1, ".priority": "p"}, ".priority": 2.5})"));
  EXPECT_EQ(*Value::parseJson(tree->description()), tree->val(true));
}

TEST(NodeTest, DataHashIsSafeToComputeFromManyThreads) {
  NodePtr tree = node(R"({"a": {"b": [1, 2, 3]}, "c": "d"})");
  const std::string expected = node(R"({"a": {"b": [1, 2, 3]}, "c": "d"})")->dataHash();
  std::vector<std::thread> threads;
  std::vector<std::string> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { seen[i] = tree->getChild(Path(i % 2 ? "a" : ""))->dataHash(); });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(seen[i], seen[i % 2]);
  EXPECT_EQ(seen[0], expected);
  EXPECT_EQ(seen[1], node(R"({"b": [1, 2, 3]})")->dataHash());
  EXPECT_EQ(tree->dataHash(), expected);
}

// Nodes count their holders themselves: threads that copy, share and drop parts of one tree at
// once, while its first holder lets go, free each node once, after its last holder (the
// sanitizers see a node freed early or never).
TEST(NodeTest, HoldersOnManyThreadsCountEachNodeExactly) {
  NodePtr tree = node(R"({"a": {"b": "text", "c": 1}, "d": 2.5})");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, mine = tree]() mutable {
      for (int i = 0; i < 2000; ++i) {
        NodePtr text = mine->getChild(Path("a/b"));
        NodePtr updated = mine->updateChild(Path("a/c"), text);
        if (updated->getChild(Path("a/c")) != text || text->val() != Value("text")) ++wrong;
      }
      mine.reset();
    });
  }
  tree.reset();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// A node of a few children lives in its children's allocation: the children map handed out
// stays whole after the node has gone, and the node whole while only it holds the map.
void expectChildrenOutliveTheirNode(NodePtr made, const Value::Map& expected, bool prioritized) {
  const size_t count = expected.size();
  NodePtr same = SnapshotUtilities::nodeFrom(Value(expected));
  if (prioritized) same = same->updatePriority(node("7"));
  EXPECT_EQ(*made, *same) << count;
  EXPECT_EQ(made->dataHash(), same->dataHash()) << count;
  EXPECT_EQ(made->numChildren(), count);

  ChildMap children = made->children();
  made.reset();
  ASSERT_EQ(children.size(), count);
  for (const auto& entry : children) EXPECT_EQ(entry.value->val(), Value(entry.key + " value"));
  NodePtr again = ChildrenNode::create(children);
  children = ChildMap();
  EXPECT_EQ(again->val(), Value(expected)) << count;
}

// Entries come in order, or anywhere with their order given (entries left out stay as they are).
TEST(NodeTest, ChildrenMadeFromSortedEntriesAndTheNodeOutliveEachOther) {
  for (int count : {1, 16, 17}) {
    for (bool prioritized : {false, true}) {
      for (bool inOrder : {true, false}) {
        std::vector<std::pair<std::string, NodePtr>> entries;
        Value::Map expected;
        for (int i = 0; i < count; ++i) {
          std::string key = "k" + std::to_string(100 + i);
          entries.emplace_back(key, leaf(Value(key + " value")));
          expected.emplace(key, Value(key + " value"));
        }
        NodePtr priority = prioritized ? node("7") : nullptr;
        NodePtr made;
        if (inOrder) {
          made = ChildrenNode::fromSortedEntries(entries, priority);
        } else {
          // Descending, with an entry that is not a child in the middle.
          std::reverse(entries.begin(), entries.end());
          entries.insert(entries.begin() + count / 2, {"left out", leaf(Value(1))});
          std::vector<uint32_t> order;
          for (int i = count; i >= 0; --i) {
            if (i != count / 2) order.push_back(static_cast<uint32_t>(i));
          }
          made = ChildrenNode::fromEntriesInOrder(entries, order, priority);
          EXPECT_EQ(entries[count / 2].first, "left out");
          EXPECT_EQ(entries[count / 2].second->val(), Value(1));
        }
        expectChildrenOutliveTheirNode(made, expected, prioritized);
      }
    }
  }
}

// Leaves and children nodes without a priority are of a smaller class than those with one;
// moving between the two keeps every other part of the node.
TEST(NodeTest, PriorityComesAndGoesWithoutChangingTheData) {
  for (const char* json : {R"("text")", "12.5", R"({"a": 1, "b": {"c": true}})"}) {
    NodePtr plain = node(json);
    NodePtr prioritized = plain->updatePriority(node("3"));
    EXPECT_EQ(*prioritized->getPriority(), *node("3")) << json;
    EXPECT_FALSE(*prioritized == *plain) << json;
    EXPECT_NE(prioritized->dataHash(), plain->dataHash()) << json;
    NodePtr cleared = prioritized->updatePriority(EmptyNode::emptyNode());
    EXPECT_TRUE(cleared->getPriority()->isEmpty()) << json;
    EXPECT_EQ(*cleared, *plain) << json;
    EXPECT_EQ(cleared->dataHash(), plain->dataHash()) << json;
    EXPECT_EQ(prioritized->updatePriority(node("3")), prioritized) << json;
    // Children changes keep the priority.
    NodePtr withChild = prioritized->updateImmediateChild("z", node("1"));
    EXPECT_EQ(*withChild->getPriority(), *node("3")) << json;
    if (!plain->isLeafNode()) {
      EXPECT_EQ(*withChild->updateImmediateChild("z", nullptr)->getPriority(), *node("3"));
    }
  }
}

}  // namespace
}  // namespace dz::database
