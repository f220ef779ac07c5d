// EventCounter: counts events raised on any thread and lets a test, a benchmark or a test
// program wait for a count. Header-only, so programs outside the test executables use it too.
// A waiter is woken only once its count is reached: a benchmark that counts a thousand events
// would otherwise wake its waiting thread a thousand times and measure that.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

namespace dz::testing {

class EventCounter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    if (!awaited_.empty() && count_ >= *awaited_.begin()) changed_.notify_all();
  }
  // False when the count was not reached within `timeout`.
  bool waitFor(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    auto awaited = awaited_.insert(count);
    bool reached = changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
    awaited_.erase(awaited);
    return reached;
  }
  uint64_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t count_ = 0;
  std::multiset<uint64_t> awaited_;  // the counts the waiters wait for
};

}  // namespace dz::testing
