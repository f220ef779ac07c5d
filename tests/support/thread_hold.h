// A hold that a server hook puts on the thread it runs on: armed by a test, it stops the next
// thread that passes it until released, so that a test can order what two threads do.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace dz::testing {

class ThreadHold {
 public:
  explicit ThreadHold(std::chrono::milliseconds timeout) : timeout_(timeout) {}

  // The next thread that calls holdIfArmed() stays there until release().
  void arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
  }
  bool waitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout_, [&] { return held_; });
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  // Called by the hook; waits no longer than the timeout, so a failed test cannot hang the server.
  void holdIfArmed() {
    std::unique_lock lock(mutex_);
    if (!armed_) return;
    armed_ = false;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, timeout_, [&] { return released_; });
  }

 private:
  const std::chrono::milliseconds timeout_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool held_ = false;
  bool released_ = false;
};

}  // namespace dz::testing
