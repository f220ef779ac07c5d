// The scheduler/clock seam: every delay and timer of the system (reconnection backoff, keep-alive,
// overlay timers, DispatchQueue::after) goes through a Scheduler, so that tests can drive time with
// a ManualScheduler instead of sleeping. Thread-safe; shared by std::shared_ptr.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace dz::platform {

class DispatchQueue;

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

// `from` + `delay`, saturating at TimePoint::max() (a delay too long for the clock never comes);
// a negative delay counts as none.
TimePoint deadlineAfter(TimePoint from, Duration delay);

// A scheduled piece of work that can be cancelled; cancelling after it ran does nothing.
class Cancellable {
 public:
  virtual ~Cancellable() = default;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};
using CancellablePtr = std::shared_ptr<Cancellable>;

class Scheduler : public std::enable_shared_from_this<Scheduler> {
 public:
  virtual ~Scheduler() = default;

  // Monotonic time of this scheduler.
  virtual TimePoint now() const = 0;

  // Runs `task` on `queue` (asynchronously) once `delay` has passed, unless cancelled first: a
  // cancel that comes before the task starts on its queue stops it even when its time has come.
  // A null queue runs the task on the scheduler's own thread (the caller of advance() for a manual
  // scheduler); keep such tasks tiny. Dropping the returned handle does not cancel.
  virtual CancellablePtr schedule(Duration delay, std::shared_ptr<DispatchQueue> queue,
                                  std::function<void()> task) = 0;

  // Repeats `task` every `interval` until cancelled; each tick is timed from the previous one.
  // The scheduler must be owned by a std::shared_ptr. Throws dz::Exception for an interval that
  // is not positive.
  CancellablePtr scheduleRepeating(Duration interval, std::shared_ptr<DispatchQueue> queue,
                                   std::function<void()> task);

  // The real-time scheduler of the process (one timer thread).
  static std::shared_ptr<Scheduler> system();
};

// Time moves only when a test calls advance(); due work is handed to its queue in due order.
class ManualScheduler : public Scheduler {
 public:
  static std::shared_ptr<ManualScheduler> create();

  TimePoint now() const override;
  CancellablePtr schedule(Duration delay, std::shared_ptr<DispatchQueue> queue,
                          std::function<void()> task) override;

  // Moves time forward by `by`, firing every timer that falls due, in due order (ties in the
  // order they were scheduled), including timers scheduled by the fired tasks themselves when
  // they fall due within the window. A timer's task runs on its queue and advance() waits for it,
  // so now() inside the task is its due time; only when waiting would deadlock (advance() called
  // from that queue, or the main thread advancing main-queue timers) is the task just queued.
  void advance(Duration by);
  // Number of timers scheduled and neither fired nor cancelled.
  size_t pendingCount() const;

  // Drops the timers still pending, as if cancelled.
  ~ManualScheduler() override;

 private:
  ManualScheduler();
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace dz::platform
