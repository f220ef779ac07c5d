#include "platform/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch_queue.h"
#include "tests/platform/generous_wait.h"

namespace dz::platform {
namespace {

// Right after a blocked worker comes back the pool has one thread too many, and the first idle
// thread to wake retires. Woken for new work, it must not take the wake-up with it: the work
// would wait for a busy thread while idle ones sleep.
TEST(ThreadPoolTest, WorkSubmittedAsABlockedWorkerReturnsRunsOnAnIdleThread) {
  auto outer = DispatchQueue::create("outer");
  auto inner = DispatchQueue::create("inner");
  auto other = DispatchQueue::create("other");
  for (int round = 0; round < 20; ++round) {
    bool ranWhileWaiting = false;
    // Outlives a wait that gives up, for a task that runs later still.
    struct Mark {
      std::mutex mutex;
      std::condition_variable changed;
      bool ran = false;
    };
    auto mark = std::make_shared<Mark>();
    outer->sync([&] {
      inner->sync([] {});  // the pool adds a thread while this one waits
      other->async([mark] {
        std::lock_guard lock(mark->mutex);
        mark->ran = true;
        mark->changed.notify_all();
      });
      // A plain wait, not a sync: only another pool thread can run the task.
      std::unique_lock lock(mark->mutex);
      ranWhileWaiting = mark->changed.wait_for(lock, kGenerousWait, [&] { return mark->ran; });
    });
    ASSERT_TRUE(ranWhileWaiting) << "round " << round;
  }
}

// Two jobs submitted at once to an idle pool need a thread each: here the first waits for the
// second with a plain wait, so the second never runs if one wake-up is taken for both.
TEST(ThreadPoolTest, TwoJobsSubmittedToAnIdlePoolRunOnTwoThreads) {
  auto first = DispatchQueue::create("first");
  auto second = DispatchQueue::create("second");
  for (int round = 0; round < 200; ++round) {
    struct Marks {
      std::mutex mutex;
      std::condition_variable changed;
      bool secondRan = false;
      bool firstDone = false;
      bool firstSawSecond = false;
    };
    auto marks = std::make_shared<Marks>();
    first->async([marks] {
      std::unique_lock lock(marks->mutex);
      marks->firstSawSecond =
          marks->changed.wait_for(lock, kGenerousWait, [&] { return marks->secondRan; });
      marks->firstDone = true;
      marks->changed.notify_all();
    });
    second->async([marks] {
      std::lock_guard lock(marks->mutex);
      marks->secondRan = true;
      marks->changed.notify_all();
    });
    std::unique_lock lock(marks->mutex);
    ASSERT_TRUE(marks->changed.wait_for(lock, 2 * kGenerousWait, [&] { return marks->firstDone; }));
    ASSERT_TRUE(marks->firstSawSecond) << "round " << round;
  }
}

// As many jobs as the pool has threads, each waiting (a plain wait) until all have started: every
// sleeping worker must be woken, though only one wakes at a time.
TEST(ThreadPoolTest, EnoughJobsWakeEveryWorker) {
  const size_t workers = ThreadPool::shared().baseThreads();
  for (int round = 0; round < 100; ++round) {
    struct Gate {
      std::mutex mutex;
      std::condition_variable changed;
      size_t started = 0;
      size_t finished = 0;
      bool allMet = true;
    };
    auto gate = std::make_shared<Gate>();
    for (size_t i = 0; i < workers; ++i) {
      ThreadPool::shared().submit([gate, workers] {
        std::unique_lock lock(gate->mutex);
        ++gate->started;
        gate->changed.notify_all();
        if (!gate->changed.wait_for(lock, kGenerousWait,
                                    [&] { return gate->started == workers; })) {
          gate->allMet = false;
        }
        ++gate->finished;
        gate->changed.notify_all();
      });
    }
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(
        gate->changed.wait_for(lock, 2 * kGenerousWait, [&] { return gate->finished == workers; }));
    ASSERT_TRUE(gate->allMet) << "round " << round;
  }
}

// Jobs come from several threads at once, in bursts; now and then a submitter waits for its jobs
// so far, which lets the workers go idle and sleep: every job runs, in order on its queue.
TEST(ThreadPoolTest, BurstsFromSeveralThreadsAllRunInQueueOrder) {
  static constexpr int kSubmitters = 4;
  static constexpr int kQueuesEach = 8;
  static constexpr int kBursts = 50;
  static constexpr int kBurst = 20;
  struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> ran = std::vector<int>(kSubmitters, 0);
    int outOfOrder = 0;
  };
  auto tally = std::make_shared<Tally>();
  std::vector<std::thread> submitters;
  std::atomic<int> unfinished{0};
  for (int s = 0; s < kSubmitters; ++s) {
    submitters.emplace_back([s, tally, &unfinished] {
      std::vector<DispatchQueuePtr> queues;
      auto last = std::make_shared<std::vector<int>>(kQueuesEach, -1);
      for (int q = 0; q < kQueuesEach; ++q) {
        queues.push_back(
            DispatchQueue::create("burst." + std::to_string(s) + "." + std::to_string(q)));
      }
      for (int burst = 0; burst < kBursts; ++burst) {
        for (int i = 0; i < kBurst; ++i) {
          const int q = (burst + i) % kQueuesEach;
          const int sequence = burst * kBurst + i;
          queues[q]->async([tally, last, s, q, sequence] {
            std::lock_guard lock(tally->mutex);
            if (sequence < (*last)[q]) ++tally->outOfOrder;
            (*last)[q] = sequence;
            ++tally->ran[s];
            tally->changed.notify_all();
          });
        }
        if (burst % 5 != 4) continue;
        const int submitted = (burst + 1) * kBurst;
        std::unique_lock lock(tally->mutex);
        if (!tally->changed.wait_for(lock, kGenerousWait,
                                     [&] { return tally->ran[s] == submitted; })) {
          ++unfinished;
          return;
        }
      }
    });
  }
  for (auto& submitter : submitters) submitter.join();
  EXPECT_EQ(unfinished, 0);
  std::unique_lock lock(tally->mutex);
  for (int s = 0; s < kSubmitters; ++s) EXPECT_EQ(tally->ran[s], kBursts * kBurst) << s;
  EXPECT_EQ(tally->outOfOrder, 0);
}

}  // namespace
}  // namespace dz::platform
