#include "database/snapshot/tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dz::database {
namespace {

TEST(TreeTest, SubTreesAreMadeOnDemandAndHoldValues) {
  Tree<int> root;
  EXPECT_TRUE(root.isEmpty());
  Tree<int> deep = root.subTree(Path("a/b/c"));
  EXPECT_EQ(deep.path(), Path("a/b/c"));
  EXPECT_EQ(deep.name(), "c");
  EXPECT_FALSE(deep.getValue().has_value());
  EXPECT_TRUE(root.isEmpty());  // looking does not store anything
  deep.setValue(3);
  EXPECT_EQ(root.subTree(Path("a/b/c")).getValue(), 3);
  EXPECT_TRUE(root.hasChildren());
  EXPECT_TRUE(root.subTree(Path("a")).hasChildren());
  EXPECT_FALSE(deep.hasChildren());
}

TEST(TreeTest, ClearingALeafPrunesEmptyAncestors) {
  Tree<int> root;
  root.subTree(Path("a/b/c")).setValue(1);
  root.subTree(Path("a/x")).setValue(2);
  root.subTree(Path("a/b/c")).setValue(std::nullopt);
  EXPECT_FALSE(root.subTree(Path("a/b")).hasChildren());
  EXPECT_TRUE(root.subTree(Path("a/b")).isEmpty());
  std::vector<std::string> children;
  root.subTree(Path("a")).forEachChild(
      [&](const Tree<int>& child) { children.push_back(child.name()); });
  EXPECT_EQ(children, (std::vector<std::string>{"x"}));
  root.subTree(Path("a/x")).setValue(std::nullopt);
  EXPECT_TRUE(root.isEmpty());
  EXPECT_FALSE(root.hasChildren());
  // A location with a value keeps its ancestors.
  root.subTree(Path("p")).setValue(1);
  root.subTree(Path("p/q")).setValue(2);
  root.subTree(Path("p/q")).setValue(std::nullopt);
  EXPECT_EQ(root.subTree(Path("p")).getValue(), 1);
}

TEST(TreeTest, HandlesSurviveRemovalAndRecreation) {
  Tree<std::string> root;
  Tree<std::string> handle = root.subTree(Path("k"));
  handle.setValue("one");
  handle.setValue(std::nullopt);
  EXPECT_TRUE(root.isEmpty());
  handle.setValue("two");
  EXPECT_EQ(root.subTree(Path("k")).getValue(), "two");
}

TEST(TreeTest, WalksChildrenAncestorsAndDescendantsInOrder) {
  Tree<int> root;
  for (const char* path : {"b", "10", "9", "a/y", "a/x"}) root.subTree(Path(path)).setValue(1);
  std::vector<std::string> names;
  root.forEachChild([&](const Tree<int>& child) { names.push_back(child.name()); });
  EXPECT_EQ(names, (std::vector<std::string>{"9", "10", "a", "b"}));

  std::vector<std::string> descendants;
  root.forEachDescendant([&](const Tree<int>& t) { descendants.push_back(t.path().toString()); });
  EXPECT_EQ(descendants, (std::vector<std::string>{"/9", "/10", "/a", "/a/x", "/a/y", "/b"}));
  descendants.clear();
  root.subTree(Path("a")).forEachDescendant(
      [&](const Tree<int>& t) { descendants.push_back(t.path().toString()); }, true, true);
  EXPECT_EQ(descendants, (std::vector<std::string>{"/a/x", "/a/y", "/a"}));

  std::vector<std::string> ancestors;
  root.subTree(Path("a/x/z")).forEachAncestor([&](const Tree<int>& t) {
    ancestors.push_back(t.path().toString());
    return false;
  });
  EXPECT_EQ(ancestors, (std::vector<std::string>{"/a/x", "/a", "/"}));
  ancestors.clear();
  EXPECT_TRUE(root.subTree(Path("a/x"))
                  .forEachAncestor(
                      [&](const Tree<int>& t) {
                        ancestors.push_back(t.path().toString());
                        return t.path().size() == 1;
                      },
                      true));
  EXPECT_EQ(ancestors, (std::vector<std::string>{"/a/x", "/a"}));
}

TEST(TreeTest, MutationSafeWalkToleratesRemovals) {
  Tree<int> root;
  for (const char* path : {"a", "b", "c"}) root.subTree(Path(path)).setValue(1);
  std::vector<std::string> seen;
  root.forEachChildMutationSafe([&](const Tree<int>& child) {
    seen.push_back(child.name());
    child.setValue(std::nullopt);
    root.subTree(Path("c")).setValue(std::nullopt);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(root.isEmpty());
}

}  // namespace
}  // namespace dz::database
