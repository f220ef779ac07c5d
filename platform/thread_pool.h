// The small process-wide pool of worker threads under the serial DispatchQueues. Jobs run in
// submission order as threads free up; a worker that blocks (DispatchQueue::sync) is replaced for
// the time it waits, so queues waiting on each other cannot starve the pool. Private to platform/;
// thread-safe; lives for the whole process.
//
// One sleeping worker is woken at a time: while it wakes, further jobs wait for it, and it wakes
// the next one only if jobs are still waiting when it takes its own. A wake-up costs tens of
// microseconds here, far more than most jobs, so waking a thread per job made the workers take
// turns sleeping instead of working.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace dz::platform {

class ThreadPool {
 public:
  using Job = std::function<void()>;

  static ThreadPool& shared();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void submit(Job job);

  // The threads the pool keeps when none of them is blocked.
  size_t baseThreads() const { return baseThreads_; }

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
  // A worker's own wake-up signal. Not the library's semaphore: it yields its time slice a dozen
  // times before it sleeps, and on a loaded machine a yield can cost whole slices of other work.
  struct Worker {
    std::mutex mutex;
    std::condition_variable changed;
    bool woken = false;

    void wake();
    void sleep();
  };

  explicit ThreadPool(size_t baseThreads);
  void spawnLocked();
  // Claims the sleeping worker to wake for jobs that are waiting, unless one is already waking.
  Worker* claimWakerLocked();
  void workerLoop();
  void enterBlocking();
  void exitBlocking();

  const size_t baseThreads_;
  std::mutex mutex_;
  std::deque<Job> jobs_;
  // Sleeping workers; the last to sleep is woken first, on a CPU that is likely still warm.
  std::vector<Worker*> idle_;
  size_t waking_ = 0;  // workers woken or started that have not looked at the jobs yet
  size_t threads_ = 0;
  size_t blocked_ = 0;
};

}  // namespace dz::platform
