#include "platform/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <thread>

namespace dz::platform {
namespace {

constexpr size_t kMinThreads = 2;
constexpr size_t kMaxBaseThreads = 4;
// Beyond this many threads a blocked worker is no longer replaced.
constexpr size_t kMaxThreads = 256;

constexpr char kThreadName[] = "dz.queues";

thread_local bool tIsWorker = false;

}  // namespace

ThreadPool& ThreadPool::shared() {
  // Never destroyed: workers may still be running when static destructors run at exit.
  static ThreadPool* pool = new ThreadPool(
      std::clamp<size_t>(std::thread::hardware_concurrency(), kMinThreads, kMaxBaseThreads));
  return *pool;
}

ThreadPool::ThreadPool(size_t baseThreads) : baseThreads_(baseThreads) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < baseThreads_; ++i) spawnLocked();
}

void ThreadPool::spawnLocked() {
  // Counted once made (it waits for the lock held here): a thread that cannot be made must not
  // leave a count behind, least of all a waking one that would stop every other wake-up.
  std::thread([this] { workerLoop(); }).detach();
  ++threads_;
  ++waking_;  // a new thread looks at the jobs first thing
}

void ThreadPool::Worker::wake() {
  // Signalled under the lock: once woken, a worker may retire and take its signal with it.
  std::lock_guard lock(mutex);
  woken = true;
  changed.notify_one();
}

void ThreadPool::Worker::sleep() {
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return woken; });
  woken = false;
}

ThreadPool::Worker* ThreadPool::claimWakerLocked() {
  if (waking_ > 0 || idle_.empty() || jobs_.empty()) return nullptr;
  Worker* worker = idle_.back();
  idle_.pop_back();
  ++waking_;
  return worker;
}

void ThreadPool::submit(Job job) {
  Worker* waker;
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    waker = claimWakerLocked();
  }
  if (waker) waker->wake();
}

void ThreadPool::workerLoop() {
  tIsWorker = true;
  ::pthread_setname_np(::pthread_self(), kThreadName);
  Worker self;
  std::unique_lock lock(mutex_);
  --waking_;
  for (;;) {
    if (jobs_.empty()) {
      // Threads added for blocked workers leave once those workers are back. Only with nothing
      // to do: a thread woken for a job that left instead would take the wake-up with it.
      if (threads_ - blocked_ > baseThreads_) {
        --threads_;
        return;
      }
      idle_.push_back(&self);
      lock.unlock();
      self.sleep();
      lock.lock();
      --waking_;
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    // Jobs still waiting may need a thread each (one can block until another has run).
    Worker* waker = claimWakerLocked();
    lock.unlock();
    if (waker) waker->wake();
    job();
    job = nullptr;  // captures die outside the lock
    lock.lock();
  }
}

void ThreadPool::enterBlocking() {
  std::lock_guard lock(mutex_);
  ++blocked_;
  if (threads_ - blocked_ < baseThreads_ && threads_ < kMaxThreads) spawnLocked();
}

void ThreadPool::exitBlocking() {
  std::lock_guard lock(mutex_);
  --blocked_;
}

ThreadPool::BlockingScope::BlockingScope() : active_(tIsWorker) {
  if (active_) shared().enterBlocking();
}

ThreadPool::BlockingScope::~BlockingScope() {
  if (active_) shared().exitBlocking();
}

}  // namespace dz::platform
