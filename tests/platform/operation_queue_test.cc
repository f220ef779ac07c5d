#include "platform/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <vector>

#include "platform/exception.h"
#include "platform/thread_pool.h"

namespace dz::platform {
namespace {

TEST(OperationQueueTest, RunsOneAtATimeInOrderByDefaultAndSurvivesAThrowingOperation) {
  auto queue = OperationQueue::create("test.operations");
  std::vector<int> order;  // touched by one operation at a time
  for (int i = 0; i < 200; ++i) {
    queue->addOperation([&order, i] {
      if (i == 7) throw std::runtime_error("operation failed");
      order.push_back(i);
    });
  }
  queue->waitUntilAllOperationsAreFinished();
  ASSERT_EQ(order.size(), 199u);
  for (size_t k = 1; k < order.size(); ++k) EXPECT_LT(order[k - 1], order[k]);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueTest, RunsUpToTheMaximumAtOnce) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(3);
  std::atomic<int> running{0}, peak{0};
  std::latch allStarted(3);
  for (int i = 0; i < 12; ++i) {
    queue->addOperation([&, i] {
      int now = ++running;
      for (int seen = peak; seen < now && !peak.compare_exchange_weak(seen, now);) {
      }
      // The first three meet, so three did run at once (the pool adds threads meanwhile).
      if (i < 3) {
        ThreadPool::BlockingScope blocking;
        allStarted.arrive_and_wait();
      }
      --running;
    });
  }
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(peak.load(), 3);
  EXPECT_THROW(queue->setMaxConcurrentOperationCount(0), Exception);
}

TEST(OperationQueueTest, AnOperationCannotWaitForItsOwnQueue) {
  auto queue = OperationQueue::create();
  std::atomic<bool> refused{false};
  queue->addOperation([&] {
    try {
      queue->waitUntilAllOperationsAreFinished();
    } catch (const Exception&) {
      refused = true;
    }
  });
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace dz::platform
