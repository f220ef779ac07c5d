// The small process-wide pool of worker threads under the serial DispatchQueues. Jobs run in
// submission order as threads free up; a worker that blocks (DispatchQueue::sync) is replaced for
// the time it waits, so queues waiting on each other cannot starve the pool. Private to platform/;
// thread-safe; lives for the whole process.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace dz::platform {

class ThreadPool {
 public:
  using Job = std::function<void()>;

  static ThreadPool& shared();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void submit(Job job);

  // Marks the calling worker as blocked for the lifetime of the guard; does nothing on a thread
  // that is not a worker of the pool.
  class BlockingScope {
   public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

   private:
    bool active_;
  };

 private:
  explicit ThreadPool(size_t baseThreads);
  void spawnLocked();
  void workerLoop();
  void enterBlocking();
  void exitBlocking();

  const size_t baseThreads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  size_t threads_ = 0;
  size_t blocked_ = 0;
  size_t idle_ = 0;
};

}  // namespace dz::platform
