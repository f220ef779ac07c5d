// DispatchQueue: a serial queue of tasks. Tasks of one queue run one at a time, in submission
// order, on a small shared thread pool; a queue with a target queue runs its tasks on the target,
// in order with the target's own tasks. DispatchQueue::main() runs on the main thread, drained by
// the main RunLoop. All methods are thread-safe. A task that throws is caught and logged: it never
// kills a worker or the process. Queues are owned by std::shared_ptr; pending tasks hold their
// queue, so dropping the last outside reference lets them all run before the queue goes away.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/scheduler.h"

namespace dz::platform {

// The name of the dz::Exception that sync() raises instead of deadlocking.
inline constexpr char kDispatchQueueDeadlock[] = "DispatchQueueDeadlock";

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  using Task = std::function<void()>;

  // A new serial queue. With a target, its tasks run on the target queue (still serially and in
  // order); without one, on the shared pool.
  static std::shared_ptr<DispatchQueue> create(std::string label,
                                               std::shared_ptr<DispatchQueue> target = nullptr);
  // The queue of the main thread, drained by RunLoop::main().
  static std::shared_ptr<DispatchQueue> main();
  // The queue whose task is running on this thread (the innermost one for target queues), or
  // null outside any queue. The main queue counts while the main run loop drains it.
  static std::shared_ptr<DispatchQueue> current();

  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;
  virtual ~DispatchQueue();

  const std::string& label() const;

  void async(Task task);
  // Runs `task` on the queue and waits for it. Throws dz::Exception "DispatchQueueDeadlock",
  // instead of deadlocking, when a queue of this queue's target chain cannot run until the caller
  // returns: one whose task the calling thread is running, one held by a thread blocked in sync()
  // on the caller's queue (A.sync -> B.sync -> A.sync), or the main queue when called on the main
  // thread. An exception thrown by the task is rethrown to the caller.
  void sync(Task task);
  // Runs `task` on the queue after `delay`, measured by `scheduler` (the system one by default).
  CancellablePtr after(Duration delay, Task task, std::shared_ptr<Scheduler> scheduler = nullptr);

  // True when the calling thread is running a task of this queue, or of a queue targeting it.
  bool isCurrent() const;

 protected:
  explicit DispatchQueue(std::string label);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct DispatchQueueAccess;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

}  // namespace dz::platform
