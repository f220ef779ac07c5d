// EventCounter: counts events raised on any thread and lets a test, a benchmark or a test
// program wait for a count. Header-only, so programs outside the test executables use it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dz::testing {

class EventCounter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // False when the count was not reached within `timeout`.
  bool waitFor(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  uint64_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t count_ = 0;
};

}  // namespace dz::testing
