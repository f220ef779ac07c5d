#include "platform/scheduler.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/task_guard.h"

namespace dz::platform {
namespace {

constexpr char kSchedulerOwner[] = "Scheduler";
constexpr char kTimerThreadName[] = "dz.timer";

// The timers of one scheduler by due time; ties keep the scheduling order.
struct TimerBook;
using TimerKey = std::pair<TimePoint, uint64_t>;

// One scheduled task. Whoever wins the move out of the pending state (the run on the queue or a
// cancel) owns the task; a cancel that wins before the task starts keeps it from running even when
// its time has already come.
class ScheduledTask : public Cancellable {
 public:
  ScheduledTask(std::function<void()> task, std::weak_ptr<TimerBook> book, TimerKey key)
      : task_(std::move(task)), book_(std::move(book)), key_(key) {}

  void cancel() override;
  bool isCancelled() const override { return state_.load() == kCancelled; }

  void run() {
    int expected = kPending;
    if (!state_.compare_exchange_strong(expected, kRan)) return;
    std::function<void()> task = std::move(task_);
    runCatchingAll(task, kSchedulerOwner);
  }

  // Called when the scheduler itself goes away with the task still pending.
  void drop() {
    int expected = kPending;
    if (!state_.compare_exchange_strong(expected, kCancelled)) return;
    std::function<void()> task = std::move(task_);
  }

  const TimerKey& key() const { return key_; }

 private:
  static constexpr int kPending = 0;
  static constexpr int kRan = 1;
  static constexpr int kCancelled = 2;

  std::atomic<int> state_{kPending};
  std::function<void()> task_;
  std::weak_ptr<TimerBook> book_;
  const TimerKey key_;
};

struct BookedTimer {
  std::shared_ptr<ScheduledTask> task;
  std::shared_ptr<DispatchQueue> queue;
};

struct TimerBook {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::map<TimerKey, BookedTimer> timers;
  uint64_t nextSeq = 0;
  TimePoint now{};  // the manual scheduler's clock

  // Adds a timer under `mutex`; returns whether it became the earliest.
  std::shared_ptr<ScheduledTask> addLocked(const std::shared_ptr<TimerBook>& self, TimePoint due,
                                           std::shared_ptr<DispatchQueue> queue,
                                           std::function<void()> task, bool* earliest) {
    TimerKey key{due, nextSeq++};
    auto scheduled = std::make_shared<ScheduledTask>(std::move(task), self, key);
    auto [it, inserted] = timers.emplace(key, BookedTimer{scheduled, std::move(queue)});
    (void)inserted;
    *earliest = it == timers.begin();
    return scheduled;
  }

  void erase(const TimerKey& key) {
    BookedTimer removed;
    std::lock_guard lock(mutex);
    auto it = timers.find(key);
    if (it == timers.end()) return;
    removed = std::move(it->second);
    timers.erase(it);
    // `removed` is released after the lock, as dropping a queue may run arbitrary destructors.
  }
};

void ScheduledTask::cancel() {
  int expected = kPending;
  if (!state_.compare_exchange_strong(expected, kCancelled)) return;
  std::function<void()> task = std::move(task_);
  if (auto book = book_.lock()) book->erase(key_);
}

// Hands a due timer to its queue. With `waitForQueue` (the manual scheduler) the caller waits
// until the task has run, so that what it schedules is timed from its own due time and fires in
// the same advance(); when waiting would deadlock (the advancing thread holds the queue up) the
// task is only queued.
void fire(BookedTimer timer, bool waitForQueue) {
  if (!timer.queue) {
    timer.task->run();
    return;
  }
  auto run = [task = timer.task] { task->run(); };
  if (waitForQueue) {
    try {
      timer.queue->sync(run);
      return;
    } catch (const dz::Exception& e) {
      if (e.name() != kDispatchQueueDeadlock) throw;
    }
  }
  timer.queue->async(std::move(run));
}

class SystemScheduler : public Scheduler {
 public:
  SystemScheduler() : book_(std::make_shared<TimerBook>()) {
    std::thread([book = book_] { timerLoop(*book); }).detach();
  }

  TimePoint now() const override { return std::chrono::steady_clock::now(); }

  CancellablePtr schedule(Duration delay, std::shared_ptr<DispatchQueue> queue,
                          std::function<void()> task) override {
    bool earliest = false;
    std::shared_ptr<ScheduledTask> scheduled;
    {
      std::lock_guard lock(book_->mutex);
      scheduled = book_->addLocked(book_, deadlineAfter(now(), delay), std::move(queue),
                                   std::move(task), &earliest);
    }
    if (earliest) book_->changed.notify_one();
    return scheduled;
  }

 private:
  static void timerLoop(TimerBook& book) {
    ::pthread_setname_np(::pthread_self(), kTimerThreadName);
    std::unique_lock lock(book.mutex);
    for (;;) {
      if (book.timers.empty()) {
        book.changed.wait(lock);
        continue;
      }
      auto first = book.timers.begin();
      const TimePoint dueTime = first->first.first;  // the node may go while we wait
      if (dueTime > std::chrono::steady_clock::now()) {
        book.changed.wait_until(lock, dueTime);
        continue;
      }
      BookedTimer due = std::move(first->second);
      book.timers.erase(first);
      lock.unlock();
      fire(std::move(due), false);
      lock.lock();
    }
  }

  std::shared_ptr<TimerBook> book_;
};

// Runs its task every interval until cancelled. Each tick re-arms itself inline on the scheduler
// (so a manual scheduler's advance() sees every tick of its window) and hands the task to the
// queue, where a cancel that came first still stops it.
class RepeatingTask : public Cancellable, public std::enable_shared_from_this<RepeatingTask> {
 public:
  RepeatingTask(std::weak_ptr<Scheduler> scheduler, Duration interval,
                std::shared_ptr<DispatchQueue> queue, std::function<void()> task)
      : scheduler_(std::move(scheduler)),
        interval_(interval),
        queue_(std::move(queue)),
        task_(std::make_shared<std::function<void()>>(std::move(task))) {}

  void arm() {
    auto scheduler = scheduler_.lock();
    if (!scheduler) return;
    // The pending tick keeps this alive: the repetition goes on until cancelled.
    auto next =
        scheduler->schedule(interval_, nullptr, [self = shared_from_this()] { self->tick(); });
    std::lock_guard lock(mutex_);
    if (cancelled_) {
      next->cancel();
      return;
    }
    next_ = std::move(next);
  }

  void cancel() override {
    CancellablePtr next;
    std::shared_ptr<std::function<void()>> task;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      next = std::move(next_);
      task = std::move(task_);
    }
    if (next) next->cancel();
  }

  bool isCancelled() const override {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  void tick() {
    if (isCancelled()) return;
    arm();
    if (!queue_) {
      runTask();
      return;
    }
    // Handed over as a timer due now, so the scheduler delivers it like any other.
    if (auto scheduler = scheduler_.lock()) {
      scheduler->schedule(Duration::zero(), queue_,
                          [self = shared_from_this()] { self->runTask(); });
    }
  }

  void runTask() {
    std::shared_ptr<std::function<void()>> task;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      task = task_;
    }
    runCatchingAll(*task, kSchedulerOwner);
  }

  const std::weak_ptr<Scheduler> scheduler_;
  const Duration interval_;
  const std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  CancellablePtr next_;
  std::shared_ptr<std::function<void()>> task_;
};

}  // namespace

TimePoint deadlineAfter(TimePoint from, Duration delay) {
  if (delay <= Duration::zero()) return from;
  if (delay >= TimePoint::max() - from) return TimePoint::max();
  return from + delay;
}

CancellablePtr Scheduler::scheduleRepeating(Duration interval, std::shared_ptr<DispatchQueue> queue,
                                            std::function<void()> task) {
  if (interval <= Duration::zero()) {
    // It would fire without end within a single advance() of a manual scheduler.
    throw dz::Exception(kInvalidArgumentException, "scheduleRepeating needs a positive interval");
  }
  std::weak_ptr<Scheduler> self = weak_from_this();
  if (self.expired()) {
    throw dz::Exception(kInternalInconsistencyException,
                        "scheduleRepeating needs a scheduler owned by a shared_ptr");
  }
  auto repeating =
      std::make_shared<RepeatingTask>(std::move(self), interval, std::move(queue), std::move(task));
  repeating->arm();
  return repeating;
}

std::shared_ptr<Scheduler> Scheduler::system() {
  // Never destroyed: its thread runs for the whole process.
  static auto* scheduler = new std::shared_ptr<Scheduler>(std::make_shared<SystemScheduler>());
  return *scheduler;
}

struct ManualScheduler::State : TimerBook {};

ManualScheduler::ManualScheduler() : state_(std::make_shared<State>()) {}

ManualScheduler::~ManualScheduler() {
  std::map<TimerKey, BookedTimer> pending;
  {
    std::lock_guard lock(state_->mutex);
    pending.swap(state_->timers);
  }
  for (auto& [key, timer] : pending) timer.task->drop();
}

std::shared_ptr<ManualScheduler> ManualScheduler::create() {
  return std::shared_ptr<ManualScheduler>(new ManualScheduler());
}

TimePoint ManualScheduler::now() const {
  std::lock_guard lock(state_->mutex);
  return state_->now;
}

CancellablePtr ManualScheduler::schedule(Duration delay, std::shared_ptr<DispatchQueue> queue,
                                         std::function<void()> task) {
  std::lock_guard lock(state_->mutex);
  bool earliest = false;
  TimePoint due = deadlineAfter(state_->now, delay);
  std::shared_ptr<TimerBook> book = state_;
  return book->addLocked(book, due, std::move(queue), std::move(task), &earliest);
}

void ManualScheduler::advance(Duration by) {
  std::unique_lock lock(state_->mutex);
  const TimePoint end = deadlineAfter(state_->now, by);
  for (;;) {
    auto first = state_->timers.begin();
    // A timer due at the end of time never comes, even when time is moved all the way there.
    if (first == state_->timers.end() || first->first.first > end ||
        first->first.first == TimePoint::max()) {
      break;
    }
    state_->now = std::max(state_->now, first->first.first);
    BookedTimer due = std::move(first->second);
    state_->timers.erase(first);
    lock.unlock();
    fire(std::move(due), true);
    lock.lock();
  }
  state_->now = std::max(state_->now, end);
}

size_t ManualScheduler::pendingCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->timers.size();
}

}  // namespace dz::platform
