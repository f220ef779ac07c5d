#include "platform/queue_check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/run_loop.h"
#include "tests/platform/generous_wait.h"

namespace dz::platform {
namespace {

void touchStateOf(const DispatchQueuePtr& owner) { DZ_ASSERT_ON_QUEUE(owner); }

TEST(QueueCheckTest, TasksOfTheQueueAndOfQueuesTargetingItAreOnIt) {
  auto owner = DispatchQueue::create("owner");
  auto child = DispatchQueue::create("child", owner);
  auto other = DispatchQueue::create("other");
  bool inOwner = false, inChild = false, childFromOwner = true, inOther = true;
  owner->sync([&] {
    inOwner = isOnQueue(*owner);
    childFromOwner = isOnQueue(*child);
    touchStateOf(owner);
  });
  child->sync([&] {
    inChild = isOnQueue(*owner);
    touchStateOf(owner);
  });
  other->sync([&] { inOther = isOnQueue(*owner); });
  EXPECT_TRUE(inOwner);
  EXPECT_TRUE(inChild);
  EXPECT_FALSE(childFromOwner);
  EXPECT_FALSE(inOther);
  EXPECT_FALSE(isOnQueue(*owner));
}

TEST(QueueCheckTest, TheMainThreadIsOnTheMainQueueInsideAndOutsideItsTasks) {
  ASSERT_TRUE(RunLoop::isMainThread());
  auto main = DispatchQueue::main();
  EXPECT_TRUE(isOnQueue(*main));
  touchStateOf(main);
  bool ran = false, inTask = false;
  main->async([&] {
    inTask = isOnQueue(*main);
    ran = true;
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return ran; }, kGenerousWait));
  EXPECT_TRUE(inTask);
  bool onWorker = true;
  DispatchQueue::create("worker")->sync([&] { onWorker = isOnQueue(*main); });
  EXPECT_FALSE(onWorker);
  std::thread([&] { onWorker = isOnQueue(*main); }).join();
  EXPECT_FALSE(onWorker);
}

TEST(QueueCheckDeathTest, ACallOffItsQueueAbortsNamingTheFunctionAndBothPlaces) {
  if (!kQueueChecksEnabled) GTEST_SKIP() << "queue checks are compiled out of this build";
  // The pool's threads are running: the child process runs the test again instead of forking.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto owner = DispatchQueue::create("owner.queue");
  EXPECT_DEATH(touchStateOf(owner),
               "Queue check failed: .*touchStateOf.* must run on queue \"owner\\.queue\", called "
               "on the main thread outside any queue");
  auto other = DispatchQueue::create("other.queue");
  EXPECT_DEATH(other->sync([&] { touchStateOf(owner); }),
               "must run on queue \"owner\\.queue\", called on queue \"other\\.queue\"");
  EXPECT_DEATH(std::thread([] { touchStateOf(DispatchQueue::main()); }).join(),
               "must run on queue \"main\", called on a thread outside any queue");
  EXPECT_DEATH(touchStateOf(nullptr), "must run on a queue never given");
}

}  // namespace
}  // namespace dz::platform
