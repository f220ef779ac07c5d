#include "database/api/data_snapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/api/database_reference.h"
#include "database/api/server_value.h"
#include "database/snapshot/index.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/exception.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::json;
using node_literals::node;
DataSnapshot snapshot(const char* text, const char* path = "/polls") {
  return DataSnapshot(nullptr, Path(path), IndexedNode(node(text)));
}

template <class Sequence>
std::vector<std::string> keys(const Sequence& sequence) {
  std::vector<std::string> result;
  for (const auto& child : sequence) result.push_back(child.key().value_or("-"));
  return result;
}

TEST(DataSnapshotTest, NoDataAtTheLocation) {
  DataSnapshot empty = snapshot("null");
  EXPECT_FALSE(empty.exists());
  EXPECT_TRUE(empty.value().isNull());
  EXPECT_EQ(empty.childrenCount(), 0u);
  EXPECT_FALSE(empty.hasChildren());
  EXPECT_TRUE(empty.priority().isNull());
  EXPECT_EQ(empty.key(), "polls");
  EXPECT_EQ(DataSnapshot(nullptr, Path(), IndexedNode(node("1"))).key(), std::nullopt);
}

TEST(DataSnapshotTest, ArraysOnlyForDenseIntegerKeys) {
  EXPECT_EQ(snapshot(R"({"0": "a", "1": "b", "3": "d"})").value(),
            json(R"(["a", "b", null, "d"])"));
  EXPECT_TRUE(snapshot(R"({"0": "a", "1": "b", "6": "g"})").value().isMap());
  EXPECT_EQ(snapshot(R"({"0": 0, "1": 1, "5": 5})").value().size(), 6u);
  EXPECT_TRUE(snapshot(R"({"01": 0, "1": 1})").value().isMap());
  EXPECT_EQ(snapshot(R"({"0": "a", "1": "b", "3": "d"})").valueInExportFormat(),
            json(R"({"0": "a", "1": "b", "3": "d"})"));
}

TEST(DataSnapshotTest, PriorityOnlyInTheExportFormat) {
  DataSnapshot leaf = snapshot(R"({".value": "x", ".priority": 7})");
  EXPECT_EQ(leaf.value(), Value("x"));
  EXPECT_EQ(leaf.priority(), Value(7));
  EXPECT_EQ(leaf.valueInExportFormat(), json(R"({".value": "x", ".priority": 7})"));
  EXPECT_FALSE(leaf.hasChildren());
}

TEST(DataSnapshotTest, ChildSnapshotsAndTheirChecks) {
  DataSnapshot polls = snapshot(R"({"a": {"q": "why", "n": 1}, "b": 2})");
  DataSnapshot missing = polls.childSnapshot("a/missing");
  EXPECT_EQ(missing.key(), "missing");
  EXPECT_FALSE(missing.exists());
  EXPECT_EQ(missing.path(), Path("/polls/a/missing"));
  EXPECT_EQ(polls.childSnapshot("a/q").value(), Value("why"));
  EXPECT_TRUE(polls.hasChild("a/n"));
  EXPECT_FALSE(polls.hasChild("c"));
  EXPECT_EQ(polls.description(), R"(Snap (polls) {"a":{"n":1,"q":"why"},"b":2})");
  try {
    polls.childSnapshot("a.b");
    FAIL() << "a dotted path was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "InvalidPathValidation");
    EXPECT_NE(e.reason().find("(child:)"), std::string::npos);
  }
  EXPECT_THROW(polls.hasChild(""), Exception);
  EXPECT_THROW(polls.hasChild("a[0]"), Exception);
}

TEST(DataSnapshotTest, ChildrenFollowTheIndexAndCanStopEarly) {
  NodePtr data = node(R"({"a": {"v": 3}, "b": {"v": 1}, "c": {"v": 2}})");
  DataSnapshot byValue(nullptr, Path("/x"), IndexedNode(data, PathIndex::create(Path("v"))));
  EXPECT_EQ(keys(byValue.children()), (std::vector<std::string>{"b", "c", "a"}));
  DataSnapshot byPriority(nullptr, Path("/x"), IndexedNode(data));
  EXPECT_EQ(keys(byPriority.children()), (std::vector<std::string>{"a", "b", "c"}));
  for (const DataSnapshot& child : byValue.children()) {
    EXPECT_EQ(child.path(), Path("/x/b"));
    EXPECT_EQ(child.value(), json(R"({"v": 1})"));
    break;
  }
  EXPECT_EQ(keys(snapshot("5").children()), std::vector<std::string>{});
}

TEST(DataSnapshotTest, TheReferenceOfItsLocation) {
  DataSnapshot child = snapshot(R"({"a": 1})").childSnapshot("a");
  EXPECT_EQ(child.ref().path(), Path("/polls/a"));
  DataSnapshot again(child.ref(), IndexedNode(node("2")));
  EXPECT_EQ(again.key(), "a");
  EXPECT_EQ(again.value(), Value(2));
}

TEST(ServerValueTest, TimestampPlaceholder) {
  EXPECT_EQ(ServerValue::timestamp(), json(R"({".sv": "timestamp"})"));
  EXPECT_EQ(&ServerValue::timestamp(), &ServerValue::timestamp());
}

}  // namespace
}  // namespace dz::database
