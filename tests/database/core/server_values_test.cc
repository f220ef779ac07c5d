#include "database/core/server_values.h"

#include <gtest/gtest.h>

#include <memory>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/core/fixed_clock.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::json;
using node_literals::node;
using testing::FixedClock;

Value::Map serverValuesAt(double seconds) {
  return ServerValues::generateServerValues(FixedClock(seconds));
}

TEST(ServerValuesTest, GeneratesTheTimestampInWholeMilliseconds) {
  Value::Map values = serverValuesAt(1700000000.1234);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values.at("timestamp"), Value(1700000000123LL));
  EXPECT_TRUE(values.at("timestamp").isInt());
}

TEST(ServerValuesTest, ResolvesPlainPlaceholdersByName) {
  Value::Map values = serverValuesAt(2.0);
  EXPECT_EQ(ServerValues::resolveDeferredValue(json(R"({".sv": "timestamp"})"), values),
            Value(2000));
  Value unknown = json(R"({".sv": "other"})");
  EXPECT_EQ(ServerValues::resolveDeferredValue(unknown, values), unknown);
  EXPECT_EQ(ServerValues::resolveDeferredValue(Value("x"), values), Value("x"));
  EXPECT_EQ(ServerValues::resolveDeferredValue(json(R"({".sv": 1})"), values),
            json(R"({".sv": 1})"));
}

TEST(ServerValuesTest, ResolvesPlaceholdersInNodesAndPriorities) {
  Value::Map values = serverValuesAt(5.0);
  NodePtr written = node(R"({"a": {"t": {".sv": "timestamp"}, "x": 1}, "b": {"y": 2},
                            "p": {".value": "v", ".priority": {".sv": "timestamp"}}})");
  NodePtr resolved = ServerValues::resolveDeferredValueSnapshot(written, values);
  EXPECT_EQ(resolved->getChild(Path("a/t"))->val(), Value(5000));
  EXPECT_EQ(resolved->getChild(Path("p"))->getPriority()->val(), Value(5000));
  EXPECT_EQ(resolved->getChild(Path("p"))->val(), Value("v"));
  // Untouched subtrees are shared.
  EXPECT_EQ(resolved->getChild(Path("b")).get(), written->getChild(Path("b")).get());
  EXPECT_EQ(resolved->getChild(Path("a/x")).get(), written->getChild(Path("a/x")).get());
  // A root placeholder with a priority keeps the priority.
  NodePtr rootLeaf = SnapshotUtilities::nodeFrom(json(R"({".sv": "timestamp"})"), Value(3));
  NodePtr resolvedLeaf = ServerValues::resolveDeferredValueSnapshot(rootLeaf, values);
  EXPECT_EQ(resolvedLeaf->val(true), json(R"({".value": 5000, ".priority": 3})"));
  // A children node whose priority is a placeholder.
  NodePtr prioritized =
      SnapshotUtilities::nodeFrom(json(R"({"k": 1})"), json(R"({".sv": "timestamp"})"));
  EXPECT_EQ(ServerValues::resolveDeferredValueSnapshot(prioritized, values)->getPriority()->val(),
            Value(5000));
}

TEST(ServerValuesTest, NodesWithoutPlaceholdersComeBackAsTheSameObject) {
  Value::Map values = serverValuesAt(5.0);
  NodePtr plain = node(R"({"a": {"b": 1}, "c": {".value": 2, ".priority": 1}})");
  EXPECT_EQ(ServerValues::resolveDeferredValueSnapshot(plain, values).get(), plain.get());
  const NodePtr& empty = EmptyNode::emptyNode();
  EXPECT_EQ(ServerValues::resolveDeferredValueSnapshot(empty, values).get(), empty.get());
  NodePtr leaf = node(R"("x")");
  EXPECT_EQ(ServerValues::resolveDeferredValueSnapshot(leaf, values).get(), leaf.get());
}

TEST(ServerValuesTest, ResolvesEveryWriteOfACompoundWrite) {
  Value::Map values = serverValuesAt(1.0);
  Value::Map updates;
  updates.emplace("a/time", json(R"({".sv": "timestamp"})"));
  updates.emplace("b", json(R"({"c": 1, "d": {".sv": "timestamp"}})"));
  updates.emplace("e", Value("plain"));
  CompoundWrite write = CompoundWrite::compoundWriteWithValueDictionary(updates);
  CompoundWrite resolved = ServerValues::resolveDeferredValueCompoundWrite(write, values);
  EXPECT_EQ(resolved.valForExport(false),
            json(R"({"a/time": 1000, "b": {"c": 1, "d": 1000}, "e": "plain"})"));
  EXPECT_EQ(resolved.completeNode(Path("e")).get(), write.completeNode(Path("e")).get());
  CompoundWrite untouched = CompoundWrite().addWrite(Path("x"), node("1"));
  EXPECT_TRUE(ServerValues::resolveDeferredValueCompoundWrite(untouched, values) == untouched);
}

}  // namespace
}  // namespace dz::database
