// The small process-wide pool of worker threads under the serial DispatchQueues. Jobs run in
// submission order as threads free up; a worker that blocks (DispatchQueue::sync) is replaced for
// the time it waits, so queues waiting on each other cannot starve the pool. A worker that runs
// out of jobs watches for new ones a few microseconds before it sleeps (one such worker at a
// time): jobs come in bursts (a push per connection, then its callbacks), and putting a thread to
// sleep and waking it again costs more than the wait. Private to platform/; thread-safe; lives
// for the whole process.
#pragma once

#include <atomic>
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
  void watchForJobs() const;
  void enterBlocking();
  void exitBlocking();

  const size_t baseThreads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::atomic<size_t> queued_{0};  // jobs_.size(), read without the lock by the watching worker
  size_t threads_ = 0;
  size_t blocked_ = 0;
  size_t idle_ = 0;
  size_t watching_ = 0;  // workers looking for jobs before they sleep: at most one
};

}  // namespace dz::platform
