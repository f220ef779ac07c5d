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
  ++threads_;
  std::thread([this] { workerLoop(); }).detach();
}

void ThreadPool::submit(Job job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ == 0) return;
  }
  wake_.notify_one();
}

void ThreadPool::workerLoop() {
  tIsWorker = true;
  ::pthread_setname_np(::pthread_self(), kThreadName);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (jobs_.empty()) {
      // Threads added for blocked workers leave once those workers are back. Only with nothing
      // to do: a thread woken for a job that left instead would take the wake-up with it.
      if (threads_ - blocked_ > baseThreads_) {
        --threads_;
        return;
      }
      ++idle_;
      wake_.wait(lock);
      --idle_;
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
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
