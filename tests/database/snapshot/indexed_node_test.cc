#include "database/snapshot/indexed_node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/transformed_enumerator.h"
#include "database/utilities/utilities.h"
#include "tests/database/snapshot/node_literals.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

using node_literals::leaf;
using node_literals::node;

std::vector<std::string> names(const IndexedNode& indexed) {
  std::vector<std::string> result;
  for (const NamedNode& child : indexed) result.push_back(child.name);
  return result;
}

std::vector<std::string> reversedNames(const IndexedNode& indexed) {
  std::vector<std::string> result;
  for (const NamedNode& child : indexed.reversed()) result.push_back(child.name);
  return result;
}

TEST(IndexedNodeTest, KeyOrderWhenNoChildHasAPriority) {
  IndexedNode indexed(node(R"({"b": 1, "a": 2, "10": 3, "9": 4})"));
  EXPECT_EQ(names(indexed), (std::vector<std::string>{"9", "10", "a", "b"}));
  EXPECT_EQ(reversedNames(indexed), (std::vector<std::string>{"b", "a", "10", "9"}));
  EXPECT_EQ(indexed.firstChild()->name, "9");
  EXPECT_EQ(indexed.lastChild()->name, "b");
  EXPECT_EQ(indexed.predecessorChildKey("a", leaf(2)), "10");
}

TEST(IndexedNodeTest, OrdersByTheIndexWithTiesByKey) {
  NodePtr people = node(R"({"ann": {"age": 30}, "bob": {"age": 25}, "cy": {"age": 30},
                            "dee": {"name": "no age"}, "eve": {"age": "old"}})");
  IndexedNode byAge(people, PathIndex::create(Path("age")));
  EXPECT_EQ(names(byAge), (std::vector<std::string>{"dee", "bob", "ann", "cy", "eve"}));
  EXPECT_EQ(byAge.predecessorChildKey("cy", people->getChild(Path("cy"))), "ann");
  EXPECT_EQ(byAge.predecessorChildKey("dee", people->getChild(Path("dee"))), std::nullopt);
  EXPECT_EQ(byAge.lastChild()->name, "eve");

  IndexedNode byValue(node(R"({"a": 3, "b": "x", "c": true, "d": 1})"), ValueIndex::valueIndex());
  EXPECT_EQ(names(byValue), (std::vector<std::string>{"c", "d", "a", "b"}));

  NodePtr prioritized = node(R"({"a": {".value": 1, ".priority": 5}, "b": 2,
                                 "c": {".value": 3, ".priority": "s"}, "d": {".value": 4, ".priority": 1}})");
  EXPECT_EQ(names(IndexedNode(prioritized)), (std::vector<std::string>{"b", "d", "a", "c"}));
  EXPECT_EQ(names(IndexedNode(prioritized, KeyIndex::keyIndex())),
            (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(IndexedNodeTest, IteratorFromPostsBoundsRanges) {
  NodePtr scores = node(R"({"a": 5, "b": 1, "c": 3, "d": 3, "e": 9})");
  IndexedNode byValue(scores, ValueIndex::valueIndex());
  const Index& index = *ValueIndex::valueIndex();
  std::vector<std::string> from;
  for (auto it = byValue.iteratorFrom(index.makePost(leaf(3), "d")); it != byValue.end(); ++it) {
    from.push_back((*it).name);
  }
  EXPECT_EQ(from, (std::vector<std::string>{"d", "a", "e"}));
  std::vector<std::string> down;
  auto reversed = byValue.reversed();
  for (auto it = reversed.from(index.makePost(leaf(3), maxName())); it != reversed.end(); ++it) {
    down.push_back((*it).name);
  }
  EXPECT_EQ(down, (std::vector<std::string>{"d", "c", "b"}));

  // Key order stands in for the priority index when nothing has a priority.
  IndexedNode plain(scores);
  const Index& byPriority = *PriorityIndex::priorityIndex();
  std::vector<std::string> keys;
  for (auto it = plain.iteratorFrom(byPriority.makePost(EmptyNode::emptyNode(), "c"));
       it != plain.end(); ++it) {
    keys.push_back((*it).name);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"c", "d", "e"}));
  EXPECT_EQ(plain.iteratorFrom(byPriority.makePost(leaf(1), minName())), plain.end());
  EXPECT_EQ(plain.reversed().from(byPriority.minPost()), plain.reversed().end());
}

TEST(IndexedNodeTest, UpdatesKeepTheViewInStepWithARebuild) {
  testing::RandomValues random(2024);
  std::vector<IndexPtr> indexes = {PriorityIndex::priorityIndex(), ValueIndex::valueIndex(),
                                   KeyIndex::keyIndex(), PathIndex::create(Path("a"))};
  for (const IndexPtr& index : indexes) {
    IndexedNode indexed(random.node(2), index);
    for (int step = 0; step < 150; ++step) {
      if (random.chance(50)) names(indexed);  // build the view now and then
      std::string key = random.key();
      NodePtr child = random.chance(20) ? EmptyNode::emptyNode() : random.node(2);
      if (random.chance(30)) child = child->updatePriority(leaf(random.priority()));
      if (random.chance(20)) child = child->updateChild(Path("a"), random.node(1));
      indexed = indexed.updateChild(key, child);
      IndexedNode rebuilt(indexed.node(), index);
      ASSERT_EQ(names(indexed), names(rebuilt)) << index->queryDefinition();
      ASSERT_EQ(reversedNames(indexed), reversedNames(rebuilt));
    }
  }
}

// Updates that are handed the old child skip finding it; they must give what finding it gives,
// down to answering with the very same node when nothing changes.
TEST(IndexedNodeTest, AnUpdateGivenTheOldChildMatchesOneThatFindsIt) {
  testing::RandomValues random(77);
  for (const IndexPtr& index : {PriorityIndex::priorityIndex(), PathIndex::create(Path("a"))}) {
    IndexedNode indexed(random.node(2), index);
    for (int step = 0; step < 300; ++step) {
      if (random.chance(50)) names(indexed);
      std::string key = random.chance(10) ? std::string(kPriorityKey) : random.key();
      const NodePtr& node = indexed.node();
      NodePtr oldChild = node->getImmediateChild(key);
      NodePtr child;
      switch (random.below(4)) {
        case 0:
          child = EmptyNode::emptyNode();
          break;
        case 1:
          child = oldChild;  // unchanged
          break;
        default:
          child = key == kPriorityKey ? leaf(random.priority()) : random.node(2);
      }
      NodePtr found = node->updateImmediateChild(key, child);
      NodePtr given = node->updateImmediateChild(key, child, oldChild);
      ASSERT_TRUE(nodesEqual(found, given)) << key;
      ASSERT_EQ(found == node, given == node) << key;
      if (key == kPriorityKey) continue;  // priorities go through updatePriority
      IndexedNode next = indexed.updateChild(key, child, oldChild);
      ASSERT_TRUE(nodesEqual(next.node(), indexed.updateChild(key, child).node()));
      ASSERT_EQ(names(next), names(IndexedNode(next.node(), index)));
      indexed = next;
    }
  }
}

// Nodes in several orders over one node take the one updated node they are handed (so that they
// go on sharing one), each keeping its own order in step.
TEST(IndexedNodeTest, AnUpdateHandedTheUpdatedNodeHoldsItInItsOwnOrder) {
  testing::RandomValues random(91);
  NodePtr start = random.node(2);
  std::vector<IndexedNode> orders = {IndexedNode(start, KeyIndex::keyIndex()),
                                     IndexedNode(start, PathIndex::create(Path("a"))),
                                     IndexedNode(start, ValueIndex::valueIndex())};
  for (int step = 0; step < 300; ++step) {
    if (random.chance(50)) names(orders[random.below(static_cast<int>(orders.size()))]);
    const NodePtr& node = orders.front().node();
    std::string key = random.key();
    NodePtr oldChild = node->getImmediateChild(key);
    NodePtr child = random.chance(20)   ? EmptyNode::emptyNode()
                    : random.chance(20) ? oldChild
                                        : random.node(2);
    if (random.chance(30) && !child->isEmpty()) child = child->updatePriority(leaf("3"));
    NodePtr updated = node->updateImmediateChild(key, child, oldChild);
    for (IndexedNode& indexed : orders) {
      SCOPED_TRACE(indexed.index()->queryDefinition());
      IndexedNode next = indexed.updateChild(key, child, oldChild, updated);
      ASSERT_EQ(next.node().get(), updated.get());
      ASSERT_EQ(names(next), names(IndexedNode(updated, indexed.index())));
      ASSERT_EQ(reversedNames(next), reversedNames(IndexedNode(updated, indexed.index())));
      indexed = next;
    }
  }
}

TEST(IndexedNodeTest, ChildrenTransformLazily) {
  IndexedNode indexed(node(R"({"a": 1, "b": 2, "c": 3})"));
  int calls = 0;
  auto values = transformed(indexed, [&calls](const NamedNode& child) {
    ++calls;
    return child.node->val();
  });
  EXPECT_EQ(calls, 0);
  auto it = values.begin();
  EXPECT_EQ(*it, Value(1));
  ++it;
  EXPECT_EQ(*it, Value(2));
  EXPECT_EQ(calls, 2);
  std::vector<Value> all(values.begin(), values.end());
  EXPECT_EQ(all, (std::vector<Value>{Value(1), Value(2), Value(3)}));
}

TEST(IndexedNodeTest, ViewIsBuiltOnceWhileManyThreadsRead) {
  Value::Map scores;
  for (int i = 0; i < 500; ++i) scores.emplace("k" + std::to_string(i), Value((i * 37) % 101));
  IndexedNode indexed(SnapshotUtilities::nodeFrom(Value(scores)), ValueIndex::valueIndex());
  std::vector<std::vector<std::string>> seen(6);
  std::vector<std::thread> readers;
  for (size_t t = 0; t < seen.size(); ++t) {
    readers.emplace_back([&, t] { seen[t] = names(indexed); });
  }
  for (auto& reader : readers) reader.join();
  for (const auto& order : seen) EXPECT_EQ(order, seen[0]);
  EXPECT_EQ(seen[0].size(), 500u);
}

TEST(IndexedNodeTest, EqualityCoversNodeAndIndex) {
  NodePtr data = node(R"({"a": 1})");
  EXPECT_TRUE(IndexedNode(data) == IndexedNode(node(R"({"a": 1.0})")));
  EXPECT_FALSE(IndexedNode(data) == IndexedNode(data, KeyIndex::keyIndex()));
  EXPECT_TRUE(IndexedNode(data).hasIndex(*PriorityIndex::priorityIndex()));
  EXPECT_EQ(IndexedNode(data).updatePriority(leaf(3)).node()->getPriority()->val(), Value(3));
}

}  // namespace
}  // namespace dz::database
