#include "platform/thread_pool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace dz::platform {
namespace {

constexpr size_t kMinThreads = 2;
constexpr size_t kMaxBaseThreads = 4;
// Beyond this many threads a blocked worker is no longer replaced.
constexpr size_t kMaxThreads = 256;

constexpr char kThreadName[] = "dz.queues";

// How long an idle worker looks for a new job before it sleeps: about what a sleep and a wake-up
// cost, so a burst's next job is taken on the spot and a quiet pool loses little.
constexpr auto kWatchWindow = std::chrono::microseconds(50);

void relaxCpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

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
    queued_.store(jobs_.size(), std::memory_order_release);
    if (idle_ == 0) return;
    // The watching worker takes one job; a sleeper is woken for any beyond that.
    if (jobs_.size() <= watching_) return;
  }
  wake_.notify_one();
}

void ThreadPool::watchForJobs() const {
  const auto deadline = std::chrono::steady_clock::now() + kWatchWindow;
  for (unsigned turn = 1;; ++turn) {
    if (queued_.load(std::memory_order_acquire) > 0) return;
    relaxCpu();
    if (turn % 64 == 0 && std::chrono::steady_clock::now() >= deadline) return;
  }
}

void ThreadPool::workerLoop() {
  tIsWorker = true;
  ::pthread_setname_np(::pthread_self(), kThreadName);
  std::unique_lock lock(mutex_);
  bool watched = false;  // since this worker's last job
  for (;;) {
    if (jobs_.empty()) {
      // Threads added for blocked workers leave once those workers are back. Only with nothing
      // to do: a thread woken for a job that left instead would take the wake-up with it.
      if (threads_ - blocked_ > baseThreads_) {
        --threads_;
        return;
      }
      if (!watched && watching_ == 0) {
        watched = true;
        ++watching_;
        lock.unlock();
        watchForJobs();
        lock.lock();
        --watching_;
        continue;
      }
      ++idle_;
      wake_.wait(lock);
      --idle_;
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    queued_.store(jobs_.size(), std::memory_order_release);
    watched = false;
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
