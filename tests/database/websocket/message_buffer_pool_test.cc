#include "database/websocket/message_buffer_pool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dz::websocket {
namespace {

std::vector<std::string> buffersOf(size_t count, size_t capacity) {
  std::vector<std::string> buffers(count);
  for (auto& buffer : buffers) buffer.reserve(capacity);
  return buffers;
}

size_t takeAll(MessageBufferPool& pool, size_t capacity) {
  std::vector<std::string> taken;
  pool.take(taken, 10'000);
  for (const auto& buffer : taken) {
    EXPECT_TRUE(buffer.empty());
    EXPECT_GE(buffer.capacity(), capacity);
  }
  return taken.size();
}

// A read batch hands the delegate up to 256 KiB of messages at once: every buffer of a batch of
// 1 KiB messages comes back for the next batch, none is freed to be allocated again.
TEST(MessageBufferPoolTest, KeepsEveryBufferOfABatchOfSmallMessages) {
  MessageBufferPool pool;
  for (int batch = 0; batch < 3; ++batch) {
    pool.give(buffersOf(256, 1024));
    EXPECT_EQ(takeAll(pool, 1024), 256u) << batch;
  }
}

TEST(MessageBufferPoolTest, BoundsWhatItKeeps) {
  MessageBufferPool pool;
  // Strings their receiver emptied, and buffers too large to hold on to.
  std::vector<std::string> useless(3);
  useless.push_back(std::string(MessageBufferPool::kMaxKeptCapacity + 1, 'x'));
  pool.give(std::move(useless));
  EXPECT_EQ(takeAll(pool, 0), 0u);

  pool.give(buffersOf(MessageBufferPool::kMaxBuffers + 10, 100));
  EXPECT_EQ(takeAll(pool, 100), MessageBufferPool::kMaxBuffers);

  constexpr size_t kLarge = 200 * 1024;
  pool.give(buffersOf(20, kLarge));
  EXPECT_LE(takeAll(pool, kLarge) * kLarge, MessageBufferPool::kMaxKeptBytes);
}

}  // namespace
}  // namespace dz::websocket
