#include "platform/reachability.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/run_loop.h"
#include "tests/platform/generous_wait.h"

namespace dz::platform {
namespace {

TEST(ReachabilityTest, ReachableUntilToldOtherwiseAndObserversHearEachChangeOnTheirQueue) {
  Reachability reachability;
  EXPECT_TRUE(reachability.isReachable());
  auto queue = DispatchQueue::create("work");
  std::mutex mutex;
  std::vector<bool> heard;
  std::atomic<bool> allOnQueue = true;
  reachability.addObserver(queue, [&](bool reachable) {
    if (!queue->isCurrent()) allOnQueue = false;
    std::lock_guard lock(mutex);
    heard.push_back(reachable);
  });
  reachability.setReachable(false);
  reachability.setReachable(false);  // no change, no call
  reachability.setReachable(true);
  EXPECT_TRUE(reachability.isReachable());
  queue->sync([] {});  // the queue is serial: everything told before this has run
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard, (std::vector<bool>{false, true}));
  EXPECT_TRUE(allOnQueue);
}

TEST(ReachabilityTest, MainQueueObserversHearChangesInTheOrderTheyHappened) {
  ASSERT_TRUE(RunLoop::isMainThread());
  Reachability reachability;
  std::vector<bool> heard;
  reachability.addObserver(DispatchQueue::main(),
                           [&](bool reachable) { heard.push_back(reachable); });
  std::thread([&] { reachability.setReachable(false); }).join();
  reachability.setReachable(true);  // on the main thread, after the change above
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return heard.size() == 2; }, kGenerousWait));
  // Heard last is what holds now.
  EXPECT_EQ(heard, (std::vector<bool>{false, true}));
}

TEST(ReachabilityTest, RemovedObserverIsNotCalled) {
  Reachability reachability;
  auto queue = DispatchQueue::create("work");
  std::atomic<int> calls = 0;
  auto token = reachability.addObserver(queue, [&](bool) { ++calls; });
  EXPECT_NE(token, 0u);
  reachability.removeObserver(token);
  reachability.setReachable(false);
  queue->sync([] {});
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(reachability.addObserver(nullptr, [](bool) {}), 0u);
  EXPECT_EQ(reachability.addObserver(queue, nullptr), 0u);
}

TEST(ReachabilityTest, SharedInstanceIsOne) {
  EXPECT_EQ(&Reachability::shared(), &Reachability::shared());
  EXPECT_TRUE(Reachability::shared().isReachable());
}

}  // namespace
}  // namespace dz::platform
