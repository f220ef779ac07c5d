#include "platform/thread_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/dispatch_queue.h"

namespace dz::platform {
namespace {

constexpr auto kGenerousWait = std::chrono::seconds(20);

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

}  // namespace
}  // namespace dz::platform
