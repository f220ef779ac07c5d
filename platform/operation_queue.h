// OperationQueue: operations (closures) run on the shared thread pool, at most
// maxConcurrentOperationCount at a time: with the default of 1 they run one at a time, in the
// order they were added. An operation that throws is caught and logged. Thread-safe. Held by
// std::shared_ptr; operations still queued keep their queue alive.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dz::platform {

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  using Operation = std::function<void()>;

  static std::shared_ptr<OperationQueue> create(std::string name = {});
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return name_; }
  // At least 1 (else dz::Exception kInvalidArgumentException). Operations already running go on.
  void setMaxConcurrentOperationCount(int count);
  int maxConcurrentOperationCount() const;

  void addOperation(Operation operation);
  // Operations queued or running.
  size_t operationCount() const;
  // Blocks until no operation is queued or running. Throws dz::Exception
  // kInternalInconsistencyException when called from one of this queue's own operations, which
  // would wait for itself.
  void waitUntilAllOperationsAreFinished();

 private:
  explicit OperationQueue(std::string name) : name_(std::move(name)) {}
  void startOperationsLocked();
  void run(Operation operation);

  const std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<Operation> pending_;
  int running_ = 0;
  int maxConcurrent_ = 1;
};

using OperationQueuePtr = std::shared_ptr<OperationQueue>;

}  // namespace dz::platform
