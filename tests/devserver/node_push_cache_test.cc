// The pushes kept by node: made once per node and key, never handed out for other data, small ones
// not kept, and the byte bound dropping the least recently used first.
#include "tools/devserver/node_push_cache.h"

#include <gtest/gtest.h>

namespace dz::devserver {
namespace {

database::NodePtr leaf(const std::string& text) { return database::LeafNode::create(text); }

class NodePushCacheTest : public ::testing::Test {
 protected:
  // Frames of `bytes` bytes, counting each call.
  std::function<SharedFrames()> maker(size_t bytes) {
    return [this, bytes] {
      ++made_;
      return SharedFrames{std::make_shared<const std::string>(bytes, 'x')};
    };
  }

  NodePushCache cache_{100, 250};
  int made_ = 0;
};

TEST_F(NodePushCacheTest, SameNodeAndKeyAreMadeOnce) {
  auto node = leaf("a");
  SharedFrames first = cache_.frames(node, "d\n/a\n", maker(100));
  SharedFrames again = cache_.frames(node, "d\n/a\n", maker(100));
  EXPECT_EQ(made_, 1);
  EXPECT_EQ(first, again);
  // Equal data in another node, or the node at another path, is made anew.
  cache_.frames(leaf("a"), "d\n/a\n", maker(100));
  cache_.frames(node, "d\n/b\n", maker(100));
  EXPECT_EQ(made_, 3);
}

TEST_F(NodePushCacheTest, KeepsOnlyLargePushesWithinTheBound) {
  auto small = leaf("small");
  cache_.frames(small, "k", maker(99));
  cache_.frames(small, "k", maker(99));
  EXPECT_EQ(made_, 2);
  auto huge = leaf("huge");
  cache_.frames(huge, "k", maker(251));
  cache_.frames(huge, "k", maker(251));
  EXPECT_EQ(made_, 4);

  auto a = leaf("a");
  auto b = leaf("b");
  auto c = leaf("c");
  cache_.frames(a, "k", maker(100));
  cache_.frames(b, "k", maker(100));
  cache_.frames(a, "k", maker(100));  // used: b is now the oldest
  cache_.frames(c, "k", maker(100));  // 300 bytes: b goes
  EXPECT_EQ(made_, 7);
  cache_.frames(a, "k", maker(100));
  cache_.frames(c, "k", maker(100));
  EXPECT_EQ(made_, 7);
  cache_.frames(b, "k", maker(100));
  EXPECT_EQ(made_, 8);
}

}  // namespace
}  // namespace dz::devserver
