#include "platform/operation_queue.h"

#include "platform/exception.h"
#include "platform/task_guard.h"
#include "platform/thread_pool.h"

namespace dz::platform {
namespace {

constexpr char kBadCount[] = "An operation queue runs at least one operation at a time";
constexpr char kWaitsForItself[] = "An operation cannot wait for its own queue to finish";

// The queue whose operation runs on this thread, if any.
thread_local const OperationQueue* currentQueue = nullptr;

}  // namespace

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
  return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name)));
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  if (count < 1) throw Exception(kInvalidArgumentException, kBadCount);
  std::lock_guard lock(mutex_);
  maxConcurrent_ = count;
  startOperationsLocked();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(mutex_);
  return maxConcurrent_;
}

void OperationQueue::addOperation(Operation operation) {
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(operation));
  startOperationsLocked();
}

size_t OperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size() + static_cast<size_t>(running_);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  if (currentQueue == this) throw Exception(kInternalInconsistencyException, kWaitsForItself);
  ThreadPool::BlockingScope blocking;
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return pending_.empty() && running_ == 0; });
}

void OperationQueue::startOperationsLocked() {
  while (running_ < maxConcurrent_ && !pending_.empty()) {
    ++running_;
    ThreadPool::shared().submit(
        [self = shared_from_this(), operation = std::move(pending_.front())]() mutable {
          self->run(std::move(operation));
        });
    pending_.pop_front();
  }
}

void OperationQueue::run(Operation operation) {
  const OperationQueue* outer = currentQueue;
  currentQueue = this;
  runCatchingAll(operation, name_.empty() ? "OperationQueue" : name_);
  currentQueue = outer;
  std::lock_guard lock(mutex_);
  --running_;
  startOperationsLocked();
  if (pending_.empty() && running_ == 0) finished_.notify_all();
}

}  // namespace dz::platform
