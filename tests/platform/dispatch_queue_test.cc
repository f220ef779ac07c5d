#include "platform/dispatch_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "platform/run_loop.h"
#include "tests/platform/generous_wait.h"
#include "tests/support/capture_stderr.h"

namespace dz::platform {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kDeadlock[] = "DispatchQueueDeadlock";

// Counts tasks running at once under one serial queue (or target tree); any overlap is a fault.
class OverlapDetector {
 public:
  void enter() {
    if (inside_.fetch_add(1) != 0) overlapped_ = true;
  }
  void leave() { inside_.fetch_sub(1); }
  bool overlapped() const { return overlapped_; }

 private:
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
};

// Returns the name of the dz::Exception `call` threw, or "" when it returned.
std::string exceptionName(const std::function<void()>& call) {
  try {
    call();
  } catch (const dz::Exception& e) {
    return e.name();
  }
  return "";
}

TEST(DispatchQueueTest, SerialQueueRunsTasksInOrderOneAtATime) {
  auto queue = DispatchQueue::create("serial");
  EXPECT_EQ(queue->label(), "serial");
  OverlapDetector overlap;
  std::vector<int> order;
  for (int i = 0; i < 2000; ++i) {
    queue->async([&, i] {
      overlap.enter();
      order.push_back(i);
      overlap.leave();
    });
  }
  queue->sync([] {});
  ASSERT_EQ(order.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(overlap.overlapped());
}

TEST(DispatchQueueTest, TargetQueueTasksInterleaveInSubmissionOrder) {
  auto target = DispatchQueue::create("target");
  auto first = DispatchQueue::create("first", target);
  auto second = DispatchQueue::create("second", target);
  auto nested = DispatchQueue::create("nested", first);
  std::vector<std::shared_ptr<DispatchQueue>> queues{target, first, second, nested};
  OverlapDetector overlap;
  std::vector<int> order;
  for (int i = 0; i < 4000; ++i) {
    queues[i % 4]->async([&, i] {
      overlap.enter();
      order.push_back(i);
      overlap.leave();
    });
  }
  target->sync([] {});
  ASSERT_EQ(order.size(), 4000u);
  for (int i = 0; i < 4000; ++i) ASSERT_EQ(order[i], i);
  EXPECT_FALSE(overlap.overlapped());
}

TEST(DispatchQueueTest, CurrentAndIsCurrentFollowTheTargetChain) {
  auto target = DispatchQueue::create("target");
  auto child = DispatchQueue::create("child", target);
  auto sibling = DispatchQueue::create("sibling", target);
  EXPECT_EQ(DispatchQueue::current(), nullptr);
  EXPECT_FALSE(target->isCurrent());
  std::shared_ptr<DispatchQueue> seen;
  bool childCurrent = false, targetCurrent = false, siblingCurrent = true;
  child->sync([&] {
    seen = DispatchQueue::current();
    childCurrent = child->isCurrent();
    targetCurrent = target->isCurrent();
    siblingCurrent = sibling->isCurrent();
  });
  EXPECT_EQ(seen, child);
  EXPECT_TRUE(childCurrent);
  EXPECT_TRUE(targetCurrent);
  EXPECT_FALSE(siblingCurrent);
  bool childFromTarget = true;
  target->sync([&] { childFromTarget = child->isCurrent(); });
  EXPECT_FALSE(childFromTarget);
}

TEST(DispatchQueueTest, SyncThatWouldDeadlockThrowsInstead) {
  auto target = DispatchQueue::create("target");
  auto child = DispatchQueue::create("child", target);
  auto sibling = DispatchQueue::create("sibling", target);
  auto other = DispatchQueue::create("other");
  auto noop = [] {};
  std::vector<std::string> names;
  child->sync([&] {
    names.push_back(exceptionName([&] { child->sync(noop); }));
    names.push_back(exceptionName([&] { target->sync(noop); }));
    names.push_back(exceptionName([&] { sibling->sync(noop); }));
    names.push_back(exceptionName([&] { other->sync(noop); }));
  });
  target->sync([&] {
    names.push_back(exceptionName([&] { child->sync(noop); }));
    names.push_back(exceptionName([&] { target->sync(noop); }));
  });
  other->sync([&] {
    // Nothing of the target tree runs here: both are safe.
    names.push_back(exceptionName([&] { child->sync(noop); }));
    names.push_back(exceptionName([&] { target->sync(noop); }));
  });
  EXPECT_EQ(names, (std::vector<std::string>{kDeadlock, kDeadlock, kDeadlock, "", kDeadlock,
                                             kDeadlock, "", ""}));
  // The queues still work afterwards.
  int value = 0;
  child->sync([&] { value = 7; });
  EXPECT_EQ(value, 7);
}

TEST(DispatchQueueTest, SyncBackOntoAQueueWaitingForUsThrowsInstead) {
  auto outer = DispatchQueue::create("outer");
  auto inner = DispatchQueue::create("inner");
  auto innermost = DispatchQueue::create("innermost", DispatchQueue::create("elsewhere"));
  std::vector<std::string> names;
  outer->sync([&] {
    inner->sync([&] {
      names.push_back(exceptionName([&] { outer->sync([] {}); }));
      innermost->sync([&] {
        names.push_back(exceptionName([&] { outer->sync([] {}); }));
        names.push_back(exceptionName([&] { DispatchQueue::main()->sync([] {}); }));
      });
    });
  });
  // The main thread waits in the outermost sync, so the main queue cannot run either.
  EXPECT_EQ(names, (std::vector<std::string>{kDeadlock, kDeadlock, kDeadlock}));
}

TEST(DispatchQueueTest, ConcurrentSyncsFromManyThreadsAreSerialized) {
  auto target = DispatchQueue::create("target");
  auto queue = DispatchQueue::create("synced", target);
  OverlapDetector overlap;
  int total = 0;
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        (i % 2 ? queue : target)->sync([&] {
          overlap.enter();
          ++total;
          overlap.leave();
        });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(total, 1600);
  EXPECT_FALSE(overlap.overlapped());
}

TEST(DispatchQueueTest, SyncRethrowsTheTaskExceptionAndTheQueueGoesOn) {
  auto queue = DispatchQueue::create("throwing");
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  try {
    queue->sync([] { throw dz::Exception("Named", "reason"); });
    FAIL() << "no exception";
  } catch (const dz::Exception& e) {
    EXPECT_EQ(e.name(), "Named");
    EXPECT_EQ(e.reason(), "reason");
  }
  bool ran = false;
  queue->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(DispatchQueueTest, ThrowingAsyncTasksAreLoggedAndLaterTasksRun) {
  auto target = DispatchQueue::create("target");
  auto child = DispatchQueue::create("child", target);
  std::vector<int> order;
  dz::testing::StderrCapture capture;
  target->async([] { throw std::runtime_error("first\nline"); });
  child->async([] { throw 42; });
  target->async([&] { order.push_back(1); });
  child->async([&] { order.push_back(2); });
  child->sync([] {});
  const std::string logged = capture.text();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_NE(logged.find("target: task threw: first line\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("child: task threw an unknown exception\n"), std::string::npos) << logged;
}

TEST(DispatchQueueTest, NestedSyncsDeeperThanThePoolDoNotStarveIt) {
  // Each level blocks a pool thread while waiting for the next one.
  std::vector<std::shared_ptr<DispatchQueue>> chain;
  for (int i = 0; i < 24; ++i) chain.push_back(DispatchQueue::create("level"));
  std::function<void(size_t)> descend = [&](size_t level) {
    if (level == chain.size()) return;
    chain[level]->sync([&, level] { descend(level + 1); });
  };
  int deepest = 0;
  chain.push_back(DispatchQueue::create("bottom"));
  chain.back()->async([&] { deepest = 1; });
  descend(0);
  EXPECT_EQ(deepest, 1);
}

TEST(DispatchQueueTest, DroppedQueueStillRunsItsPendingTasks) {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int ran = 0;
  {
    auto queue = DispatchQueue::create("dropped");
    queue->async([&] {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, kGenerousWait, [&] { return released; });
    });
    for (int i = 0; i < 100; ++i) {
      queue->async([&] {
        std::lock_guard lock(mutex);
        ++ran;
        changed.notify_all();
      });
    }
  }
  {
    std::unique_lock lock(mutex);
    released = true;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, kGenerousWait, [&] { return ran == 100; }));
  }
  // A queue kept alive for ever would show up as a leak at exit.
}

TEST(DispatchQueueTest, AfterRunsOnTheQueueAndCanBeCancelled) {
  auto scheduler = ManualScheduler::create();
  auto queue = DispatchQueue::create("later");
  std::vector<std::string> ran;
  auto kept = queue->after(
      seconds(5), [&] { ran.push_back(queue->isCurrent() ? "kept" : "elsewhere"); }, scheduler);
  auto dropped = queue->after(
      seconds(1), [&] { ran.push_back("dropped"); }, scheduler);
  dropped->cancel();
  scheduler->advance(seconds(4));
  queue->sync([] {});
  EXPECT_TRUE(ran.empty());
  scheduler->advance(seconds(1));
  queue->sync([] {});
  EXPECT_EQ(ran, (std::vector<std::string>{"kept"}));
  EXPECT_TRUE(dropped->isCancelled());
  EXPECT_FALSE(kept->isCancelled());

  // The system scheduler is the default.
  std::mutex mutex;
  std::condition_variable changed;
  bool fired = false;
  auto cancelled = queue->after(hours(1), [&] { ran.push_back("never"); });
  queue->after(milliseconds(1), [&] {
    std::lock_guard lock(mutex);
    fired = true;
    changed.notify_all();
  });
  cancelled->cancel();
  std::unique_lock lock(mutex);
  EXPECT_TRUE(changed.wait_for(lock, kGenerousWait, [&] { return fired; }));
}

TEST(DispatchQueueTest, MainQueueRunsWhenTheMainThreadPumpsItsRunLoop) {
  ASSERT_TRUE(RunLoop::isMainThread());
  auto main = DispatchQueue::main();
  EXPECT_EQ(main, DispatchQueue::main());
  EXPECT_FALSE(main->isCurrent());
  auto onMain = DispatchQueue::create("on main", main);
  std::vector<int> order;
  bool mainThread = true, mainCurrent = true;
  main->async([&] { order.push_back(1); });
  onMain->async([&] {
    mainThread = mainThread && RunLoop::isMainThread();
    mainCurrent = mainCurrent && main->isCurrent() && DispatchQueue::current() == onMain;
    order.push_back(2);
  });
  main->async([&] {
    mainCurrent = mainCurrent && DispatchQueue::current() == main;
    EXPECT_EQ(exceptionName([&] { main->sync([] {}); }), kDeadlock);
    order.push_back(3);
  });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return order.size() == 3; }, kGenerousWait));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(mainThread);
  EXPECT_TRUE(mainCurrent);
  // Outside a main-queue task the main thread would still wait for itself.
  EXPECT_EQ(exceptionName([&] { onMain->sync([] {}); }), kDeadlock);

  // Another thread's sync onto the main queue completes while the main thread pumps.
  std::atomic<bool> done{false};
  bool ranOnMain = false;
  std::thread worker([&] {
    main->sync([&] { ranOnMain = RunLoop::isMainThread(); });
    done = true;
    RunLoop::main().post([] {});  // wakes the pump to see `done`
  });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }, kGenerousWait));
  worker.join();
  EXPECT_TRUE(ranOnMain);
}

TEST(DispatchQueueTest, ManyQueuesWithManyTasksKeepTheirOrder) {
  constexpr int kQueues = 24;
  constexpr int kTasks = 1500;
  auto shared = DispatchQueue::create("shared target");
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  std::vector<std::vector<int>> seen(kQueues);
  std::vector<OverlapDetector> overlaps(kQueues);
  OverlapDetector sharedOverlap;
  for (int q = 0; q < kQueues; ++q) {
    queues.push_back(DispatchQueue::create("stress", q % 3 == 0 ? shared : nullptr));
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int q = p; q < kQueues; q += 4) {
        for (int i = 0; i < kTasks; ++i) {
          queues[q]->async([&, q, i] {
            overlaps[q].enter();
            if (q % 3 == 0) sharedOverlap.enter();
            seen[q].push_back(i);
            if (q % 3 == 0) sharedOverlap.leave();
            overlaps[q].leave();
          });
        }
      }
    });
  }
  for (auto& producer : producers) producer.join();
  for (auto& queue : queues) queue->sync([] {});
  for (int q = 0; q < kQueues; ++q) {
    ASSERT_EQ(seen[q].size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[q][i], i);
    EXPECT_FALSE(overlaps[q].overlapped());
  }
  EXPECT_FALSE(sharedOverlap.overlapped());
}

}  // namespace
}  // namespace dz::platform
