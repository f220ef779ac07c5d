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

}  // namespace
}  // namespace dz::database
