#include "database/snapshot/range_merge.h"

#include <gtest/gtest.h>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::node;

// Replacing every child of a node with a priority empties it on the way; the priority the range
// carries must still land on the result.
TEST(RangeMergeTest, PriorityKeptWhenEveryChildIsReplaced) {
  RangeMerge merge(Path(), std::nullopt, node(R"({"b": 1, ".priority": 4})"));
  EXPECT_TRUE(merge.applyTo(node(R"({"a": 2, ".priority": 4})"))
                  ->equals(*node(R"({"b": 1, ".priority": 4})")));
}

// A range that takes every child of a node whose priority lies before it empties the node: the
// priority must not linger there and come back with the next child.
TEST(RangeMergeTest, ANodeTheRangeEmptiesKeepsNoPriority) {
  RangeMerge merge(Path("/b"), std::nullopt, EmptyNode::emptyNode());
  NodePtr emptied = merge.applyTo(node(R"({"c": 1, ".priority": 1})"));
  EXPECT_TRUE(emptied->isEmpty());
  EXPECT_TRUE(emptied->updateImmediateChild("d", node("2"))->equals(*node(R"({"d": 2})")));
}

}  // namespace
}  // namespace dz::database
