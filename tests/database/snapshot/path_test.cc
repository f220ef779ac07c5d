#include "database/snapshot/path.h"

#include <gtest/gtest.h>

#include <map>
#include <unordered_set>

#include "platform/exception.h"

namespace dz::database {
namespace {

TEST(PathTest, ParsingDropsEmptySegments) {
  EXPECT_EQ(Path("//a///b/").toString(), "/a/b");
  EXPECT_EQ(Path("a/b").size(), 2u);
  EXPECT_TRUE(Path("").isEmpty());
  EXPECT_TRUE(Path("///").isEmpty());
  EXPECT_TRUE(Path::empty().isEmpty());
  EXPECT_EQ(Path(std::vector<std::string>{"a", "", "b"}), Path("a/b"));
}

TEST(PathTest, TextFormsOfRootAndDeeperPaths) {
  EXPECT_EQ(Path().toString(), "/");
  EXPECT_EQ(Path().description(), "/");
  EXPECT_EQ(Path().wireFormat(), "/");
  EXPECT_EQ(Path("a/b/c").toString(), "/a/b/c");
  EXPECT_EQ(Path("a/b/c").wireFormat(), "a/b/c");
  EXPECT_EQ(Path("a").wireFormat(), "a");
}

TEST(PathTest, FrontBackAndPopFront) {
  Path path("a/b/c");
  EXPECT_EQ(path.front(), "a");
  EXPECT_EQ(path.back(), "c");
  EXPECT_EQ(path.popFront(), Path("b/c"));
  EXPECT_EQ(path.popFront().popFront().popFront(), Path());
  EXPECT_EQ(Path().popFront(), Path());
  EXPECT_EQ(Path().front(), "");
  EXPECT_EQ(Path().back(), "");
  EXPECT_EQ(path.popFront().front(), "b");
  EXPECT_EQ(path[1], "b");
}

TEST(PathTest, ParentUpToTheRoot) {
  Path path("a/b");
  ASSERT_TRUE(path.parent());
  EXPECT_EQ(*path.parent(), Path("a"));
  EXPECT_EQ(*path.parent()->parent(), Path());
  EXPECT_FALSE(Path().parent());
  // A parent of a popped path keeps both bounds.
  EXPECT_EQ(*Path("a/b/c/d").popFront().parent(), Path("b/c"));
  EXPECT_EQ(Path("a/b/c/d").popFront().parent()->back(), "c");
}

TEST(PathTest, ChildrenAppendKeysOrSegments) {
  Path path("a");
  EXPECT_EQ(path.child("b"), Path("a/b"));
  EXPECT_EQ(path.child("b//c/"), Path("a/b/c"));
  EXPECT_EQ(path.childFromString("/b/c"), Path("a/b/c"));
  EXPECT_EQ(path.child(""), path);
  EXPECT_EQ(path.child(Path("x/y")), Path("a/x/y"));
  EXPECT_EQ(Path().child(Path("x")), Path("x"));
  EXPECT_EQ(path.child(Path()), path);
  // Children of a shared, trimmed path do not disturb the original.
  Path trimmed = Path("a/b/c").popFront();
  EXPECT_EQ(trimmed.child("z"), Path("b/c/z"));
  EXPECT_EQ(trimmed.parent()->child("q"), Path("b/q"));
  EXPECT_EQ(trimmed, Path("b/c"));
}

TEST(PathTest, ContainsAndRelativePaths) {
  Path outer("a/b");
  EXPECT_TRUE(outer.contains(Path("a/b")));
  EXPECT_TRUE(outer.contains(Path("a/b/c")));
  EXPECT_FALSE(outer.contains(Path("a")));
  EXPECT_FALSE(outer.contains(Path("a/c/b")));
  EXPECT_TRUE(Path().contains(outer));
  EXPECT_EQ(Path::relativePath(outer, Path("a/b/c/d")), Path("c/d"));
  EXPECT_EQ(Path::relativePath(outer, outer), Path());
  EXPECT_EQ(Path::relativePath(Path(), outer), outer);
  EXPECT_THROW(Path::relativePath(outer, Path("a/x")), dz::Exception);
  EXPECT_THROW(Path::relativePath(outer, Path("a")), dz::Exception);
}

TEST(PathTest, OrdersKeyByKeyAndHashesAsItCompares) {
  EXPECT_LT(Path("a"), Path("a/b"));
  EXPECT_LT(Path("a/b"), Path("b"));
  EXPECT_LT(Path(), Path("a"));
  EXPECT_EQ(Path("a/b/c").popFront(), Path("b/c"));
  EXPECT_NE(Path("a/b"), Path("ab"));

  std::map<Path, int> ordered{{Path("b"), 1}, {Path("a/z"), 2}, {Path("a"), 3}};
  EXPECT_EQ(ordered.begin()->first, Path("a"));

  std::unordered_set<Path> set{Path("a/b"), Path("x/a/b").popFront(), Path("a/b/c")};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_NE(std::hash<Path>()(Path("a/b")), std::hash<Path>()(Path("b/a")));
}

}  // namespace
}  // namespace dz::database
