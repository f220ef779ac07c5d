#include "platform/dispatch_queue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/exception.h"
#include "platform/run_loop.h"
#include "platform/task_guard.h"
#include "platform/thread_pool.h"

namespace dz::platform {
namespace {

constexpr char kMainQueueLabel[] = "main";
// Tasks one drain runs before it gives its pool thread to other queues.
constexpr int kTasksPerDrain = 32;

// The queues whose tasks are running on this thread, outermost first: a queue with a target
// runs inside a task of its target, so both are on the stack.
thread_local std::vector<const DispatchQueue*> tRunning;

class RunningScope {
 public:
  explicit RunningScope(const DispatchQueue* queue) { tRunning.push_back(queue); }
  ~RunningScope() { tRunning.pop_back(); }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;
};

// Queues that cannot run until the task on this thread ends: those of the threads blocked in
// sync() waiting for it (and, transitively, for them).
thread_local std::vector<const DispatchQueue*> tHeldByWaiters;

class HeldScope {
 public:
  explicit HeldScope(const std::vector<const DispatchQueue*>& held) : saved_(tHeldByWaiters) {
    tHeldByWaiters.insert(tHeldByWaiters.end(), held.begin(), held.end());
  }
  ~HeldScope() { tHeldByWaiters.swap(saved_); }
  HeldScope(const HeldScope&) = delete;
  HeldScope& operator=(const HeldScope&) = delete;

 private:
  std::vector<const DispatchQueue*> saved_;
};

bool contains(const std::vector<const DispatchQueue*>& queues, const DispatchQueue* queue) {
  return std::find(queues.begin(), queues.end(), queue) != queues.end();
}

bool isRunningHere(const DispatchQueue* queue) { return contains(tRunning, queue); }

}  // namespace

struct DispatchQueue::Impl {
  std::string label;
  // Set: every task is handed to this queue. Unset: the queue drains itself on the pool (or on
  // the main run loop for the main queue).
  std::shared_ptr<DispatchQueue> target;
  bool isMain = false;

  std::mutex mutex;
  std::deque<Task> pending;
  bool draining = false;  // a drain is submitted or running
};

DispatchQueue::DispatchQueue(std::string label) : impl_(std::make_unique<Impl>()) {
  impl_->label = std::move(label);
}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label,
                                                     std::shared_ptr<DispatchQueue> target) {
  std::shared_ptr<DispatchQueue> queue(new DispatchQueue(std::move(label)));
  queue->impl_->target = std::move(target);
  return queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  // Never destroyed, like the main run loop that drains it.
  static auto* queue = [] {
    auto* made = new std::shared_ptr<DispatchQueue>(new DispatchQueue(kMainQueueLabel));
    (*made)->impl_->isMain = true;
    return made;
  }();
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
  if (tRunning.empty()) return nullptr;
  return std::const_pointer_cast<DispatchQueue>(tRunning.back()->shared_from_this());
}

const std::string& DispatchQueue::label() const { return impl_->label; }

// Runs the queue's pending tasks on the calling pool thread, then hands the thread back.
struct DispatchQueueAccess {
  static void drain(const std::shared_ptr<DispatchQueue>& queue) {
    DispatchQueue::Impl& impl = *queue->impl_;
    RunningScope running(queue.get());
    for (int i = 0; i < kTasksPerDrain; ++i) {
      DispatchQueue::Task task;
      {
        std::lock_guard lock(impl.mutex);
        if (impl.pending.empty()) {
          impl.draining = false;
          return;
        }
        task = std::move(impl.pending.front());
        impl.pending.pop_front();
      }
      runCatchingAll(task, impl.label);
    }
    {
      std::lock_guard lock(impl.mutex);
      if (impl.pending.empty()) {
        impl.draining = false;
        return;
      }
    }
    ThreadPool::shared().submit([queue] { drain(queue); });
  }
};

void DispatchQueue::async(Task task) {
  if (!task) return;
  auto self = shared_from_this();
  if (impl_->target || impl_->isMain) {
    // Pending tasks hold the queue: it lives until they have run.
    auto runAsSelf = [self, task = std::move(task)] {
      RunningScope running(self.get());
      runCatchingAll(task, self->impl_->label);
    };
    if (impl_->target) {
      impl_->target->async(std::move(runAsSelf));
    } else {
      RunLoop::main().post(std::move(runAsSelf));
    }
    return;
  }
  {
    std::lock_guard lock(impl_->mutex);
    impl_->pending.push_back(std::move(task));
    if (impl_->draining) return;
    impl_->draining = true;
  }
  ThreadPool::shared().submit([self] { DispatchQueueAccess::drain(self); });
}

void DispatchQueue::sync(Task task) {
  // Everything this wait holds up: our own queues, those our waiters hold, and the main queue
  // when we are the main thread (it only runs when the main thread pumps its run loop).
  std::vector<const DispatchQueue*> held = tHeldByWaiters;
  held.insert(held.end(), tRunning.begin(), tRunning.end());
  if (RunLoop::isMainThread()) held.push_back(main().get());
  for (const DispatchQueue* queue = this; queue; queue = queue->impl_->target.get()) {
    if (contains(held, queue)) {
      throw dz::Exception(kDispatchQueueDeadlock, "sync onto queue \"" + impl_->label +
                                                      "\" from a thread that queue is waiting for");
    }
  }
  if (!task) return;
  struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;
  };
  auto completion = std::make_shared<Completion>();
  // The caller waits until the task has run, so the task can be borrowed by reference.
  async([completion, &task, held = std::move(held)] {
    HeldScope waitedFor(held);
    std::exception_ptr error;
    try {
      task();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(completion->mutex);
    completion->error = std::move(error);
    completion->finished = true;
    completion->done.notify_all();
  });
  std::exception_ptr error;
  {
    ThreadPool::BlockingScope blocking;
    std::unique_lock lock(completion->mutex);
    completion->done.wait(lock, [&] { return completion->finished; });
    // Taken out so that the exception is freed on this thread, not by the worker's last reference.
    error = std::move(completion->error);
  }
  if (error) std::rethrow_exception(error);
}

CancellablePtr DispatchQueue::after(Duration delay, Task task,
                                    std::shared_ptr<Scheduler> scheduler) {
  if (!scheduler) scheduler = Scheduler::system();
  return scheduler->schedule(delay, shared_from_this(), std::move(task));
}

bool DispatchQueue::isCurrent() const { return isRunningHere(this); }

}  // namespace dz::platform
