#include "platform/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "tests/platform/generous_wait.h"
#include "tests/support/due_order.h"

namespace dz::platform {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Set once from any thread; waited for with a time-out.
class Flag {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool waitFor(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

TEST(ManualSchedulerTest, FiresInDueOrderWithTiesInSchedulingOrder) {
  auto scheduler = ManualScheduler::create();
  const TimePoint start = scheduler->now();
  std::vector<std::string> fired;
  std::vector<Duration> firedAt;
  auto record = [&](std::string name) {
    return [&, name] {
      fired.push_back(name);
      firedAt.push_back(scheduler->now() - start);
    };
  };
  scheduler->schedule(seconds(3), nullptr, record("a"));
  scheduler->schedule(seconds(1), nullptr, record("b"));
  scheduler->schedule(seconds(2), nullptr, record("c"));
  scheduler->schedule(seconds(1), nullptr, record("d"));
  EXPECT_EQ(scheduler->pendingCount(), 4u);

  scheduler->advance(milliseconds(999));
  EXPECT_TRUE(fired.empty());
  scheduler->advance(seconds(5));
  EXPECT_EQ(fired, (std::vector<std::string>{"b", "d", "c", "a"}));
  EXPECT_EQ(firedAt, (std::vector<Duration>{seconds(1), seconds(1), seconds(2), seconds(3)}));
  EXPECT_EQ(scheduler->now() - start, milliseconds(5999));
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

TEST(ManualSchedulerTest, FiresTimersScheduledByFiredTasksWithinTheWindow) {
  auto scheduler = ManualScheduler::create();
  std::vector<std::string> fired;
  scheduler->schedule(seconds(1), nullptr, [&] {
    fired.push_back("first");
    scheduler->schedule(seconds(1), nullptr, [&] { fired.push_back("second"); });
    scheduler->schedule(seconds(5), nullptr, [&] { fired.push_back("late"); });
    scheduler->schedule(Duration::zero(), nullptr, [&] { fired.push_back("now"); });
  });
  scheduler->advance(seconds(3));
  EXPECT_EQ(fired, (std::vector<std::string>{"first", "now", "second"}));
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->advance(seconds(3));
  EXPECT_EQ(fired.back(), "late");
}

TEST(ManualSchedulerTest, CancelBeforeFiringStopsTheTaskAndAfterwardsDoesNothing) {
  auto scheduler = ManualScheduler::create();
  int runs = 0;
  auto cancelled = scheduler->schedule(seconds(1), nullptr, [&] { ++runs; });
  auto kept = scheduler->schedule(seconds(1), nullptr, [&] { ++runs; });
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->advance(seconds(2));
  EXPECT_EQ(runs, 1);
  kept->cancel();
  EXPECT_FALSE(kept->isCancelled());
}

TEST(ManualSchedulerTest, DelaysTooLongForTheClockNeverFireAndDoNotOverflow) {
  auto scheduler = ManualScheduler::create();
  scheduler->advance(hours(1));
  int runs = 0;
  auto never = scheduler->schedule(Duration::max(), nullptr, [&] { ++runs; });
  scheduler->schedule(seconds(1), nullptr, [&] { ++runs; });
  scheduler->advance(Duration::max());
  scheduler->advance(Duration::max());
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  EXPECT_EQ(scheduler->now(), TimePoint::max());
  never->cancel();
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

TEST(ManualSchedulerTest, QueueTimersRunOnTheirQueue) {
  auto scheduler = ManualScheduler::create();
  auto queue = DispatchQueue::create("timers");
  std::vector<int> order;
  bool onQueue = true;
  for (int i = 0; i < 5; ++i) {
    scheduler->schedule(seconds(5 - i), queue, [&, i] {
      onQueue = onQueue && queue->isCurrent();
      order.push_back(i);
    });
  }
  scheduler->advance(seconds(10));
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{4, 3, 2, 1, 0}));
  EXPECT_TRUE(onQueue);
}

TEST(ManualSchedulerTest, AdvanceWaitsForQueueTasksSoTheirTimersFireInTheSameWindow) {
  auto scheduler = ManualScheduler::create();
  auto first = DispatchQueue::create("first");
  auto second = DispatchQueue::create("second");
  const TimePoint start = scheduler->now();
  std::vector<std::string> fired;  // each task runs while advance() waits: no overlap
  std::function<void(int)> retry = [&](int attempt) {
    fired.push_back("retry " + std::to_string(attempt) + " at " +
                    std::to_string((scheduler->now() - start) / seconds(1)));
    if (attempt < 3) scheduler->schedule(seconds(2), first, [&, attempt] { retry(attempt + 1); });
  };
  scheduler->schedule(seconds(1), first, [&] { retry(1); });
  scheduler->schedule(seconds(4), second, [&] { fired.push_back("second at 4"); });
  scheduler->advance(seconds(6));
  EXPECT_EQ(fired, (std::vector<std::string>{"retry 1 at 1", "retry 2 at 3", "second at 4",
                                             "retry 3 at 5"}));
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

TEST(ManualSchedulerTest, AdvanceFromTheTimersOwnQueueOnlyQueuesItsTask) {
  auto scheduler = ManualScheduler::create();
  auto queue = DispatchQueue::create("advancing");
  std::vector<std::string> order;
  scheduler->schedule(seconds(1), queue, [&] { order.push_back("timer"); });
  queue->sync([&] {
    scheduler->advance(seconds(1));
    order.push_back("after advance");
  });
  queue->sync([] {});
  EXPECT_EQ(order, (std::vector<std::string>{"after advance", "timer"}));
}

TEST(ManualSchedulerTest, CancelAfterFiringButBeforeTheQueueRunsItStillStopsIt) {
  auto scheduler = ManualScheduler::create();
  auto queue = DispatchQueue::create("busy");
  Flag release;
  queue->async([&] { release.waitFor(kGenerousWait); });
  std::atomic<bool> ran{false};
  auto timer = scheduler->schedule(seconds(1), queue, [&] { ran = true; });
  // advance() hands the timer to the blocked queue and waits there.
  std::thread advancing([&] { scheduler->advance(seconds(1)); });
  const auto deadline = std::chrono::steady_clock::now() + kGenerousWait;
  while (scheduler->pendingCount() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  timer->cancel();
  release.set();
  advancing.join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(timer->isCancelled());
}

TEST(ManualSchedulerTest, RepeatingTimerTicksEveryIntervalUntilCancelled) {
  auto scheduler = ManualScheduler::create();
  int inlineTicks = 0;
  auto repeating = scheduler->scheduleRepeating(seconds(1), nullptr, [&] { ++inlineTicks; });
  scheduler->advance(milliseconds(5500));
  EXPECT_EQ(inlineTicks, 5);
  repeating->cancel();
  EXPECT_TRUE(repeating->isCancelled());
  EXPECT_EQ(scheduler->pendingCount(), 0u);
  scheduler->advance(seconds(5));
  EXPECT_EQ(inlineTicks, 5);

  EXPECT_THROW(scheduler->scheduleRepeating(Duration::zero(), nullptr, [] {}), dz::Exception);

  auto queue = DispatchQueue::create("ticks");
  int queueTicks = 0;
  auto onQueue = scheduler->scheduleRepeating(seconds(2), queue, [&] { ++queueTicks; });
  scheduler->advance(seconds(10));
  queue->sync([] {});
  EXPECT_EQ(queueTicks, 5);
  onQueue->cancel();
}

TEST(ManualSchedulerTest, DestroyingTheSchedulerDropsPendingTasks) {
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  CancellablePtr handle;
  {
    auto scheduler = ManualScheduler::create();
    handle = scheduler->schedule(seconds(1), nullptr, [sentinel] {});
    scheduler->scheduleRepeating(seconds(1), nullptr, [sentinel] {});
    sentinel.reset();
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(handle->isCancelled());
}

TEST(SystemSchedulerTest, RunsDueTasksAndSkipsCancelledOnes) {
  auto scheduler = Scheduler::system();
  auto queue = DispatchQueue::create("system timers");
  // Held until the cancel: a test thread slower than the delay must not let the task start first.
  Flag release;
  queue->async([&] { release.waitFor(kGenerousWait); });
  std::atomic<bool> cancelledRan{false};
  auto cancelled = scheduler->schedule(milliseconds(1), queue, [&] { cancelledRan = true; });
  cancelled->cancel();
  release.set();
  auto farAway = scheduler->schedule(hours(1), queue, [&] { cancelledRan = true; });
  farAway->cancel();

  Flag inlineRan;
  scheduler->schedule(milliseconds(1), nullptr, [&] { inlineRan.set(); });
  EXPECT_TRUE(inlineRan.waitFor(kGenerousWait));

  Flag queueRan;
  std::atomic<bool> onQueue{false};
  scheduler->schedule(milliseconds(2), queue, [&] {
    onQueue = queue->isCurrent();
    queueRan.set();
  });
  EXPECT_TRUE(queueRan.waitFor(kGenerousWait));
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(cancelledRan);
}

TEST(SystemSchedulerTest, DelaysTooLongForTheClockNeverFireAndDoNotOverflow) {
  auto queue = DispatchQueue::create("far future");
  std::atomic<bool> ran{false};
  auto never = Scheduler::system()->schedule(Duration::max(), queue, [&] { ran = true; });
  auto alsoNever = queue->after(Duration::max(), [&] { ran = true; });
  Flag sooner;
  Scheduler::system()->schedule(milliseconds(1), nullptr, [&] { sooner.set(); });
  EXPECT_TRUE(sooner.waitFor(kGenerousWait));
  never->cancel();
  alsoNever->cancel();
  EXPECT_FALSE(ran);
}

TEST(SystemSchedulerTest, QueueTimersRunInDueOrder) {
  auto scheduler = Scheduler::system();
  auto queue = DispatchQueue::create("ordered");
  const std::vector<int> delays{300, 100, 200, 100};
  dz::testing::DueOrder due;
  std::vector<size_t> order;  // touched on the queue only
  Flag done;
  for (size_t i = 0; i < delays.size(); ++i) {
    due.start(milliseconds(delays[i]), [&] {
      scheduler->schedule(milliseconds(delays[i]), queue, [&, i] {
        order.push_back(i);
        if (order.size() == delays.size()) done.set();
      });
    });
  }
  ASSERT_TRUE(done.waitFor(kGenerousWait));
  queue->sync([] {});
  due.expectKeptBy(order);
}

TEST(SystemSchedulerTest, RepeatingTimerCancelledOnItsQueueNeverRunsAgain) {
  auto queue = DispatchQueue::create("repeat");
  int ticks = 0;  // touched on the queue only
  CancellablePtr repeating;
  std::mutex handleMutex;
  {
    std::lock_guard lock(handleMutex);
    repeating = Scheduler::system()->scheduleRepeating(milliseconds(1), queue, [&] {
      if (++ticks < 3) return;
      std::lock_guard lock(handleMutex);
      repeating->cancel();
    });
  }
  // Ticks already handed to the queue see the cancel and do nothing, so a task queued long after
  // the third tick still finds three.
  Flag done;
  int ticksSeen = 0;
  auto waitUntilThree = std::make_shared<std::function<void()>>();
  *waitUntilThree = [&, waitUntilThree] {
    if (ticks < 3) {
      queue->after(milliseconds(1), *waitUntilThree);
      return;
    }
    queue->after(milliseconds(20), [&] {
      ticksSeen = ticks;
      done.set();
    });
  };
  queue->async(*waitUntilThree);
  ASSERT_TRUE(done.waitFor(kGenerousWait));
  queue->sync([] {});
  EXPECT_EQ(ticksSeen, 3);
  *waitUntilThree = nullptr;
}

}  // namespace
}  // namespace dz::platform
