#include "database/snapshot/compound_write.h"

#include <gtest/gtest.h>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/snapshot/node_literals.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

using node_literals::json;
using node_literals::leaf;
using node_literals::node;

std::vector<std::string> writtenPaths(const CompoundWrite& write) {
  std::vector<std::string> paths;
  write.enumerateWrites([&](const Path& path, const NodePtr&) {
    paths.push_back(path.toString());
    return false;
  });
  return paths;
}

TEST(CompoundWriteTest, EmptyWriteAppliesAsNothing) {
  CompoundWrite empty;
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ(empty.rootWrite(), nullptr);
  NodePtr data = node(R"({"a": 1})");
  EXPECT_EQ(empty.apply(data).get(), data.get());
  EXPECT_FALSE(empty.hasCompleteWrite(Path()));
}

TEST(CompoundWriteTest, WritesBelowAWriteFoldIntoIt) {
  CompoundWrite write = CompoundWrite().addWrite(Path("a"), node(R"({"b": 1, "c": 2})"));
  write = write.addWrite(Path("a/b"), leaf(10));
  EXPECT_EQ(writtenPaths(write), (std::vector<std::string>{"/a"}));
  EXPECT_EQ(write.completeNode(Path("a"))->val(), *Value::parseJson(R"({"b": 10, "c": 2})"));
  EXPECT_EQ(write.completeNode(Path("a/c"))->val(), Value(2));
  EXPECT_TRUE(write.hasCompleteWrite(Path("a/zzz")));  // known to be empty
  EXPECT_FALSE(write.hasCompleteWrite(Path("b")));
}

TEST(CompoundWriteTest, AWriteAboveReplacesTheWritesBelow) {
  CompoundWrite write =
      CompoundWrite().addWrite(Path("a/b"), leaf(1)).addWrite(Path("a/c"), leaf(2));
  EXPECT_EQ(writtenPaths(write), (std::vector<std::string>{"/a/b", "/a/c"}));
  write = write.addWrite(Path("a"), leaf("x"));
  EXPECT_EQ(writtenPaths(write), (std::vector<std::string>{"/a"}));
  EXPECT_EQ(write.apply(EmptyNode::emptyNode())->val(), *Value::parseJson(R"({"a": "x"})"));
}

TEST(CompoundWriteTest, EnumeratesParentsFirstInKeyOrderAndStops) {
  CompoundWrite write = CompoundWrite()
                            .addWrite(Path("b/x"), leaf(1))
                            .addWrite(Path("10"), leaf(2))
                            .addWrite(Path("9/q"), leaf(3))
                            .addWrite(Path("a"), leaf(4));
  EXPECT_EQ(writtenPaths(write), (std::vector<std::string>{"/9/q", "/10", "/a", "/b/x"}));
  int visits = 0;
  EXPECT_TRUE(write.enumerateWrites([&](const Path&, const NodePtr&) { return ++visits == 2; }));
  EXPECT_EQ(visits, 2);
}

TEST(CompoundWriteTest, RemoveWriteAndChildWrites) {
  CompoundWrite write =
      CompoundWrite().addWrite(Path("a/b"), leaf(1)).addWrite(Path("a/c"), leaf(2));
  EXPECT_EQ(writtenPaths(write.removeWrite(Path("a/b"))), (std::vector<std::string>{"/a/c"}));
  EXPECT_TRUE(write.removeWrite(Path("a")).isEmpty());
  EXPECT_TRUE(write.removeWrite(Path()).isEmpty());
  // Removing inside a write leaves the write.
  CompoundWrite whole = CompoundWrite().addWrite(Path("a"), node(R"({"b": 1})"));
  EXPECT_EQ(whole.removeWrite(Path("a/b")), whole);

  CompoundWrite child = write.childCompoundWrite(Path("a"));
  EXPECT_EQ(writtenPaths(child), (std::vector<std::string>{"/b", "/c"}));
  EXPECT_TRUE(write.childCompoundWrite(Path("q")).isEmpty());
  CompoundWrite shadowed = whole.childCompoundWrite(Path("a/b"));
  EXPECT_EQ(shadowed.rootWrite()->val(), Value(1));
  auto children = write.childCompoundWrites();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(children[0].first, "a");
}

TEST(CompoundWriteTest, CompleteChildren) {
  CompoundWrite write = CompoundWrite().addWrite(Path("b"), leaf(1)).addWrite(Path("a/x"), leaf(2));
  std::vector<NamedNode> complete = write.completeChildren();
  ASSERT_EQ(complete.size(), 1u);
  EXPECT_EQ(complete[0].name, "b");
  CompoundWrite root = CompoundWrite().addWrite(Path(), node(R"({"x": 1, "y": 2})"));
  EXPECT_EQ(root.completeChildren().size(), 2u);
}

TEST(CompoundWriteTest, PriorityWritesApplyOnlyWhereDataRemains) {
  CompoundWrite write = CompoundWrite()
                            .addWrite(Path("a/.priority"), leaf(5))
                            .addWrite(Path("gone/.priority"), leaf(6));
  NodePtr applied = write.apply(node(R"({"a": {"x": 1}})"));
  EXPECT_EQ(applied->getChild(Path("a"))->getPriority()->val(), Value(5));
  EXPECT_TRUE(applied->getChild(Path("gone"))->isEmpty());
}

// Children applied in key order empty a node on the way to new ones, or not, depending on their
// keys: the priorities above the written paths must not depend on it.
TEST(CompoundWriteTest, AppliesAsOneChangeThatKeepsThePrioritiesAboveItsPaths) {
  auto apply = [](const char* data, const char* merge) {
    Value::Map values = *json(merge).getMap();
    return CompoundWrite::compoundWriteWithValueDictionary(values).apply(node(data));
  };
  auto expectApplied = [&](const char* data, const char* merge, const char* expected) {
    EXPECT_TRUE(*apply(data, merge) == *node(expected))
        << data << " with " << merge << " is " << apply(data, merge)->description();
  };
  expectApplied(R"({"b": 1, ".priority": "p"})", R"({"a": 2, "b": null})",
                R"({"a": 2, ".priority": "p"})");
  expectApplied(R"({"a": 1, ".priority": "b"})", R"({"é": 2, "a": null})",
                R"({"é": 2, ".priority": "b"})");
  expectApplied(R"({"x": {"a": 1, ".priority": "q"}, ".priority": "p"})",
                R"({"x/a": null, "x/é": 2})",
                R"({"x": {"é": 2, ".priority": "q"}, ".priority": "p"})");
  // A priority written with the children, or removed.
  expectApplied(R"({"a": 1})", R"({".priority": "n", "a": null, "b": 1})",
                R"({"b": 1, ".priority": "n"})");
  expectApplied(R"({"a": 1, ".priority": "p"})", R"({".priority": null, "a": null, "b": 1})",
                R"({"b": 1})");
  // Ending without data, the node keeps nothing.
  EXPECT_TRUE(apply(R"({"a": 1, ".priority": "p"})", R"({"a": null})")->isEmpty());
}

TEST(CompoundWriteTest, ValueDictionaryAndExport) {
  Value::Map values;
  values.emplace("a/b", Value(1));
  values.emplace("c", *Value::parseJson(R"({".value": 2, ".priority": 3})"));
  CompoundWrite write = CompoundWrite::compoundWriteWithValueDictionary(values);
  EXPECT_EQ(write.valForExport(true),
            *Value::parseJson(R"({"a/b": 1, "c": {".value": 2, ".priority": 3}})"));
  EXPECT_EQ(write.valForExport(false), *Value::parseJson(R"({"a/b": 1, "c": 2})"));
  EXPECT_EQ(CompoundWrite().addWrite(Path(), leaf(1)).valForExport(true),
            *Value::parseJson(R"({"/": 1})"));
}

TEST(CompoundWriteTest, ApplyMatchesDirectUpdatesOnRandomWrites) {
  testing::RandomValues random(99);
  auto randomPath = [&] {
    std::vector<std::string> keys;
    int depth = random.below(4);
    for (int i = 0; i < depth; ++i) keys.push_back(random.key());
    return Path(keys);
  };
  for (int round = 0; round < 200; ++round) {
    NodePtr base = random.node(3);
    NodePtr expected = base;
    CompoundWrite write;
    int writes = 1 + random.below(6);
    for (int i = 0; i < writes; ++i) {
      Path path = randomPath();
      NodePtr value = random.chance(15) ? EmptyNode::emptyNode() : random.node(2);
      write = write.addWrite(path, value);
      expected = expected->updateChild(path, value);
    }
    NodePtr applied = write.apply(base);
    ASSERT_TRUE(*applied == *expected)
        << "base " << base->description() << " writes " << write.valForExport(true).toJsonString();
    // The writes fix exactly what they cover.
    write.enumerateWrites([&](const Path& path, const NodePtr&) {
      EXPECT_TRUE(*write.completeNode(path) == *expected->getChild(path));
      return false;
    });
  }
}

}  // namespace
}  // namespace dz::database
