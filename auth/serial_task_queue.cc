#include "auth/serial_task_queue.h"

#include <atomic>

#include "platform/log.h"

namespace dz::auth {

const platform::DispatchQueuePtr& globalWorkQueue() {
  static const auto* queue =
      new platform::DispatchQueuePtr(platform::DispatchQueue::create(kGlobalWorkQueueLabel));
  return *queue;
}

std::shared_ptr<SerialTaskQueue> SerialTaskQueue::create() {
  return std::shared_ptr<SerialTaskQueue>(new SerialTaskQueue());
}

void SerialTaskQueue::enqueueTask(Task task) {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    start = !running_;
    running_ = true;
  }
  if (start) startNext();
}

void SerialTaskQueue::startNext() {
  dispatchQueue_->async([self = shared_from_this()] {
    Task task;
    {
      std::lock_guard lock(self->mutex_);
      task = std::move(self->tasks_.front());
      self->tasks_.pop_front();
    }
    auto completed = std::make_shared<std::atomic<bool>>(false);
    Completion complete = [self, completed] {
      if (completed->exchange(true)) {
        platform::logLine("auth: a serial task completed twice; the second call is ignored");
        return;
      }
      bool more = false;
      {
        std::lock_guard lock(self->mutex_);
        more = !self->tasks_.empty();
        self->running_ = more;
      }
      if (more) self->startNext();
    };
    try {
      task(complete);
    } catch (...) {
      // A task that throws would hold the queue for good; it counts as finished.
      if (!completed->load()) complete();
      throw;
    }
  });
}

}  // namespace dz::auth
