#include "database/snapshot/compound_hash.h"

#include <gtest/gtest.h>

#include "database/snapshot/hashing.h"
#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/snapshot/node_literals.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

using node_literals::node;

NodePtr manyChildren(int count) {
  Value::Map map;
  for (int i = 0; i < count; ++i) {
    Value::Map child;
    child.emplace("name", Value("item number " + std::to_string(i)));
    child.emplace("n", Value(i));
    map.emplace(std::to_string(i), Value(std::move(child)));
  }
  return SnapshotUtilities::nodeFrom(Value(std::move(map)));
}

TEST(CompoundHashTest, EmptyAndSmallNodesMakeOneRange) {
  CompoundHash empty = CompoundHash::fromNode(*EmptyNode::emptyNode());
  EXPECT_TRUE(empty.posts.empty());
  EXPECT_EQ(empty.hashes, (std::vector<std::string>{""}));
  CompoundHash small = CompoundHash::fromNode(*node(R"({"a": 1, "b": {"c": "x"}})"));
  EXPECT_TRUE(small.posts.empty());
  ASSERT_EQ(small.hashes.size(), 1u);
  // The vector of docs/data-model.md: entries in path order, each `"path":text;`.
  EXPECT_EQ(small.hashes[0], hashOfText(R"("a":number:1;"b/c":string:"x";)"));
}

TEST(CompoundHashTest, LeafAtTheRootAndPrioritiesAreEntries) {
  EXPECT_EQ(CompoundHash::fromNode(*node("5")).hashes[0], hashOfText(R"("/":number:5;)"));
  CompoundHash prioritized =
      CompoundHash::fromNode(*node(R"({"a": {".value": 1, ".priority": 2}, ".priority": "p"})"));
  EXPECT_EQ(prioritized.hashes[0],
            hashOfText(R"("/":priority:string:"p":;"a":priority:number:2:number:1;)"));
}

TEST(CompoundHashTest, LargeNodesSplitIntoRangesUnderTheTarget) {
  NodePtr data = manyChildren(500);
  CompoundHash hash = CompoundHash::fromNode(*data, 1000);
  ASSERT_GT(hash.posts.size(), 10u);
  EXPECT_EQ(hash.hashes.size(), hash.posts.size() + 1);
  for (size_t i = 1; i < hash.posts.size(); ++i) {
    EXPECT_LT(comparePathsInKeyOrder(hash.posts[i - 1], hash.posts[i]), 0);
  }
  // The other side reproduces the hashes from the posts alone.
  EXPECT_EQ(CompoundHash::hashesForPosts(*data, hash.posts), hash.hashes);
  // A change in one child changes exactly one range.
  NodePtr changed = data->updateChild(Path("250/n"), LeafNode::create(int64_t{-1}));
  std::vector<std::string> after = CompoundHash::hashesForPosts(*changed, hash.posts);
  size_t differing = 0;
  for (size_t i = 0; i < after.size(); ++i) differing += after[i] != hash.hashes[i];
  EXPECT_EQ(differing, 1u);
  // The default target keeps the number of ranges modest.
  EXPECT_LE(CompoundHash::fromNode(*manyChildren(5000)).hashes.size(), 100u);
}

TEST(CompoundHashTest, PostsReproduceOnRandomNodes) {
  testing::RandomValues random(5);
  for (int i = 0; i < 100; ++i) {
    NodePtr data = random.node(4);
    CompoundHash hash = CompoundHash::fromNode(*data, 60);
    EXPECT_EQ(hash.hashes.size(), hash.posts.size() + 1);
    EXPECT_EQ(CompoundHash::hashesForPosts(*data, hash.posts), hash.hashes) << data->description();
  }
}

}  // namespace
}  // namespace dz::database
