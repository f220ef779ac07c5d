#include "database/snapshot/snapshot_utilities.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cmath>
#include <functional>
#include <limits>

#include "platform/exception.h"
#include "tests/database/snapshot/node_literals.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

using node_literals::json;

// The exception nodeFrom raises for the value (with priority), or fails the test.
Exception failureOf(const Value& value, const Value& priority = Value(),
                    std::string_view label = "setValue:") {
  try {
    SnapshotUtilities::nodeFrom(value, priority, label);
  } catch (const Exception& e) {
    return e;
  }
  ADD_FAILURE() << "accepted " << value.toJsonString();
  return Exception("none", "");
}

Value nested(size_t depth) {
  Value value(1);
  for (size_t i = 0; i < depth; ++i) {
    Value::Map map;
    map.emplace("a", std::move(value));
    value = Value(std::move(map));
  }
  return value;
}

TEST(NodeFromTest, BuildsLeavesChildrenArraysAndPriorities) {
  NodePtr node = SnapshotUtilities::nodeFrom(
      json(R"({"s": "x", "n": 1.5, "b": false, "arr": ["a", null, "c"], "gone": null,
               "empty": {}, "p": {".value": 3, ".priority": "q"}, ".priority": 9})"));
  EXPECT_EQ(node->numChildren(), 5u);  // "gone" and "empty" hold no data
  EXPECT_EQ(node->getPriority()->val(), Value(9));
  EXPECT_EQ(node->getChild(Path("arr/2"))->val(), Value("c"));
  EXPECT_TRUE(node->getChild(Path("arr/1"))->isEmpty());
  EXPECT_EQ(node->getChild(Path("p"))->getPriority()->val(), Value("q"));
  EXPECT_TRUE(node->getChild(Path("p"))->isLeafNode());
  EXPECT_EQ(SnapshotUtilities::nodeFrom(Value(5), Value("pr"))->getPriority()->val(), Value("pr"));
  EXPECT_TRUE(SnapshotUtilities::nodeFrom(json(R"({".value": null, ".priority": 1})"))->isEmpty());
}

TEST(NodeFromTest, ServerValuePlaceholdersStayLeaves) {
  NodePtr node = SnapshotUtilities::nodeFrom(json(R"({"t": {".sv": "timestamp"}})"));
  const NodePtr& t = node->getChild(Path("t"));
  ASSERT_TRUE(t->isLeafNode());
  EXPECT_TRUE(static_cast<const LeafNode&>(*t).isPlaceholder());
  EXPECT_EQ(t->val(), json(R"({".sv": "timestamp"})"));
  NodePtr withPriority =
      SnapshotUtilities::nodeFrom(json(R"({"a": 1})"), json(R"({".sv": "timestamp"})"));
  EXPECT_EQ(withPriority->getPriority()->val(), json(R"({".sv": "timestamp"})"));

  Exception unknown = failureOf(json(R"({"t": {".sv": "later"}})"));
  EXPECT_EQ(unknown.name(), "InvalidDezuvuraData");
  EXPECT_NE(unknown.reason().find("/t"), std::string::npos);
  EXPECT_EQ(failureOf(json(R"({".sv": "timestamp", "x": 1})")).name(), "InvalidDezuvuraData");
  EXPECT_EQ(failureOf(json(R"({".sv": 5})")).name(), "InvalidDezuvuraData");
}

TEST(NodeFromTest, RefusesValuesThatCannotBeStored) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  double inf = std::numeric_limits<double>::infinity();
  Value::Map withNan;
  withNan.emplace("a", Value(nan));
  Exception notFinite = failureOf(Value(withNan));
  EXPECT_EQ(notFinite.name(), "InvalidDezuvuraData");
  EXPECT_EQ(notFinite.reason().rfind("(setValue:)", 0), 0u) << notFinite.reason();
  EXPECT_NE(notFinite.reason().find("/a"), std::string::npos);
  EXPECT_EQ(failureOf(Value(inf)).name(), "InvalidDezuvuraData");
  EXPECT_EQ(failureOf(Value(-inf)).name(), "InvalidDezuvuraData");

  for (const char* badKey : {R"({"a.b": 1})", R"({"a": {"$x": 1}})", R"({"": 1})", R"({"[": 1})",
                             R"({"a/b": 1})", R"({"#": 1})"}) {
    EXPECT_EQ(failureOf(json(badKey)).name(), "InvalidDezuvuraData") << badKey;
  }
  Exception badValue = failureOf(json(R"({"a": {".value": {"x": 1}}})"));
  EXPECT_EQ(badValue.name(), "InvalidLeafValueType");
  EXPECT_EQ(failureOf(json(R"({".value": [1]})")).name(), "InvalidLeafValueType");
}

TEST(NodeFromTest, RefusesInvalidPrioritiesNamingThePath) {
  for (Value bad :
       {Value(true), json("[1]"), json(R"({"x": 1})"), Value(std::nan("")),
        Value(std::numeric_limits<double>::infinity()), json(R"({".sv": "timestamp", "x": 1})")}) {
    Exception e = failureOf(Value(1), bad);
    EXPECT_EQ(e.name(), "InvalidDezuvuraData") << bad.toJsonString();
  }
  Exception nestedPriority = failureOf(json(R"({"a": {"b": {".value": 1, ".priority": true}}})"));
  EXPECT_EQ(nestedPriority.name(), "InvalidDezuvuraData");
  EXPECT_NE(nestedPriority.reason().find("/a/b"), std::string::npos) << nestedPriority.reason();
}

TEST(NodeFromTest, DepthLimitIsAThousandLevels) {
  EXPECT_NO_THROW(SnapshotUtilities::nodeFrom(nested(kMaxObjectDepth)));
  Exception tooDeep = failureOf(nested(kMaxObjectDepth + 1), Value(), "update:");
  EXPECT_EQ(tooDeep.name(), "InvalidDezuvuraData");
  EXPECT_EQ(tooDeep.reason().rfind("(update:) Max object depth exceeded: /a/a/a", 0), 0u);
  EXPECT_EQ(tooDeep.reason().substr(tooDeep.reason().size() - 3), "...");
  // The same limit guards wire data, which must never throw out of tryNodeFromJson.
  boost::json::value deep = nested(kMaxObjectDepth + 1).toJson();
  EXPECT_EQ(SnapshotUtilities::tryNodeFromJson(deep), nullptr);
  EXPECT_NE(SnapshotUtilities::tryNodeFromJson(nested(kMaxObjectDepth).toJson()), nullptr);
}

TEST(NodeFromTest, WireJsonGivesTheSameNodesAsPlainValues) {
  testing::RandomValues random(77);
  for (int i = 0; i < 300; ++i) {
    Value value = random.value(4, true);
    NodePtr fromPlain = SnapshotUtilities::nodeFrom(value);
    NodePtr fromJson = SnapshotUtilities::nodeFromJson(value.toJson());
    ASSERT_TRUE(*fromPlain == *fromJson) << value.toJsonString();
    EXPECT_EQ(fromPlain->dataHash(), fromJson->dataHash());
  }
  // Integers past int64 arrive as doubles; huge exponents are refused.
  NodePtr big = SnapshotUtilities::nodeFromJson(boost::json::parse("18446744073709551615"));
  EXPECT_EQ(big->val(), Value(18446744073709551615.0));
  EXPECT_EQ(SnapshotUtilities::tryNodeFromJson(boost::json::parse(R"({"a": 1e999})")), nullptr);
  EXPECT_EQ(SnapshotUtilities::tryNodeFromJson(boost::json::parse(R"({"a.b": 1})")), nullptr);
}

TEST(NodeFromTest, WireInputNeverThrows) {
  testing::RandomValues random(31337);
  const std::vector<std::string> oddKeys = {"a.b", "", "$", "/", ".priority", ".value", ".sv", "k"};
  std::function<boost::json::value(int)> randomJson = [&](int depth) -> boost::json::value {
    switch (depth == 0 ? random.below(4) : random.below(7)) {
      case 0:
        return nullptr;
      case 1:
        return random.below(3) == 0 ? boost::json::value(std::numeric_limits<double>::infinity())
                                    : boost::json::value(random.below(10));
      case 2:
        return "s";
      case 3:
        return random.chance(50);
      case 4: {
        boost::json::array array;
        for (int i = random.below(3); i > 0; --i) array.push_back(randomJson(depth - 1));
        return array;
      }
      default: {
        boost::json::object object;
        for (int i = random.below(4); i > 0; --i) {
          object[oddKeys[random.below(static_cast<int>(oddKeys.size()))]] = randomJson(depth - 1);
        }
        return object;
      }
    }
  };
  int accepted = 0;
  for (int i = 0; i < 2000; ++i) {
    boost::json::value input = randomJson(4);
    NodePtr node;
    EXPECT_NO_THROW(node = SnapshotUtilities::tryNodeFromJson(input)) << input;
    accepted += node != nullptr;
  }
  EXPECT_GT(accepted, 100);
}

TEST(NodeFromTest, ExportAndPlainValuesRoundTrip) {
  testing::RandomValues random(4242);
  for (int i = 0; i < 300; ++i) {
    NodePtr withPriorities = random.node(4, true);
    Value exported = withPriorities->val(true);
    ASSERT_TRUE(*SnapshotUtilities::nodeFrom(exported) == *withPriorities)
        << exported.toJsonString();
    EXPECT_EQ(Value::fromJson(SnapshotUtilities::toJson(*withPriorities, true)), exported);

    NodePtr plainNode = random.node(4, false);
    Value plain = plainNode->val();
    ASSERT_TRUE(*SnapshotUtilities::nodeFrom(plain) == *plainNode) << plain.toJsonString();
    EXPECT_EQ(Value::fromJson(SnapshotUtilities::toJson(*plainNode)), plain);
  }
}

TEST(CompoundWriteFromDictionaryTest, BuildsWritesAndChecksPathsAndValues) {
  Value::Map updates;
  updates.emplace("a/b", Value(1));
  updates.emplace("c", json(R"({"d": true})"));
  updates.emplace("c/.priority", Value(5));
  CompoundWrite write = SnapshotUtilities::compoundWriteFromDictionary(updates, "update:");
  NodePtr applied = write.apply(EmptyNode::emptyNode());
  EXPECT_EQ(applied->getChild(Path("a/b"))->val(), Value(1));
  EXPECT_EQ(applied->getChild(Path("c"))->getPriority()->val(), Value(5));

  Value::Map badPath;
  badPath.emplace("a.b", Value(1));
  try {
    SnapshotUtilities::compoundWriteFromDictionary(badPath, "update:");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "InvalidPathValidation");
  }
  Value::Map badPriority;
  badPriority.emplace("x/.priority", Value(true));
  EXPECT_THROW(SnapshotUtilities::compoundWriteFromDictionary(badPriority, "update:"), Exception);
  Value::Map badValue;
  badValue.emplace("x", json(R"({"y": {".sv": "nope"}})"));
  EXPECT_THROW(SnapshotUtilities::compoundWriteFromDictionary(badValue, "update:"), Exception);
}

TEST(EstimateSerializedNodeSizeTest, TracksTheJsonSize) {
  NodePtr small = SnapshotUtilities::nodeFrom(json(R"({"a": "b"})"));
  EXPECT_LT(SnapshotUtilities::estimateSerializedNodeSize(*small), 1024u);
  Value::Map big;
  for (int i = 0; i < 200; ++i) big.emplace("key" + std::to_string(i), Value("some text"));
  NodePtr large = SnapshotUtilities::nodeFrom(Value(big));
  size_t estimate = SnapshotUtilities::estimateSerializedNodeSize(*large);
  size_t actual = large->val().toJsonString().size();
  EXPECT_GT(estimate, 1024u);
  EXPECT_GT(estimate, actual / 2);
  EXPECT_LT(estimate, actual * 2);
}

}  // namespace
}  // namespace dz::database
