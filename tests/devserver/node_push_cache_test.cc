// Pushes kept by node: made once per node and key, never handed out for other data, small ones not
// kept, and the byte bound dropping the least recently used first.
#include "tools/devserver/node_push_cache.h"

#include <gtest/gtest.h>

namespace dz::devserver {
namespace {

TEST(NodePushCacheTest, KeepsLargePushesByNodeAndKeyWithinTheBound) {
  NodePushCache cache(100, 250);
  int made = 0;
  auto frames = [&](const database::NodePtr& node, const std::string& key, size_t bytes) {
    return cache.frames(node, key, [&] {
      ++made;
      return SharedFrames{std::make_shared<const std::string>(bytes, 'x')};
    });
  };
  auto a = database::LeafNode::create("a");
  auto same = database::LeafNode::create("a");
  auto b = database::LeafNode::create("b");
  EXPECT_EQ(frames(a, "k", 100), frames(a, "k", 100));
  EXPECT_EQ(made, 1);
  // Too small or too large to keep.
  frames(b, "small", 99);
  frames(b, "small", 99);
  frames(b, "huge", 251);
  frames(b, "huge", 251);
  EXPECT_EQ(made, 5);
  // Equal data in another node, and the node under another key, are made anew; the latter is
  // the third 100 bytes, which drops the least recently used: `same`.
  frames(same, "k", 100);
  frames(a, "k", 100);
  frames(a, "other", 100);
  EXPECT_EQ(made, 7);
  frames(a, "k", 100);
  frames(a, "other", 100);
  EXPECT_EQ(made, 7);
  frames(same, "k", 100);
  EXPECT_EQ(made, 8);
}

}  // namespace
}  // namespace dz::devserver
