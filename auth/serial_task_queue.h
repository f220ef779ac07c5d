// The queues of authentication. globalWorkQueue() is the one serial queue
// "com.vivuro.dezuvura.auth.globalWorkQueue" on which every authentication flow runs and the
// server's answers arrive. A SerialTaskQueue runs asynchronous tasks strictly one after another
// on a serial queue of its own ("com.vivuro.dezuvura.auth.serialTaskQueue") whose target is the
// global work queue: each task holds the queue until it calls the completion it is given, however
// long its asynchronous part takes. Thread-safe; owned by std::shared_ptr.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch_queue.h"

namespace dz::auth {

inline constexpr char kGlobalWorkQueueLabel[] = "com.vivuro.dezuvura.auth.globalWorkQueue";
inline constexpr char kSerialTaskQueueLabel[] = "com.vivuro.dezuvura.auth.serialTaskQueue";

const platform::DispatchQueuePtr& globalWorkQueue();

class SerialTaskQueue : public std::enable_shared_from_this<SerialTaskQueue> {
 public:
  using Completion = std::function<void()>;
  using Task = std::function<void(Completion complete)>;

  static std::shared_ptr<SerialTaskQueue> create();
  SerialTaskQueue(const SerialTaskQueue&) = delete;
  SerialTaskQueue& operator=(const SerialTaskQueue&) = delete;

  // The task runs on this queue's own queue, over the global work queue, once every earlier task
  // has completed. Its completion must be called once; later calls are ignored (and logged), so a
  // task that answers twice cannot release a queue that another task holds.
  void enqueueTask(Task task);

 private:
  SerialTaskQueue() = default;
  void startNext();  // with the lock released

  // Tasks are handed to it one at a time: the queue never holds a task whose turn has not come,
  // since a serial queue here cannot be suspended across a task's asynchronous part.
  const platform::DispatchQueuePtr dispatchQueue_ =
      platform::DispatchQueue::create(kSerialTaskQueueLabel, globalWorkQueue());
  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool running_ = false;
};
using SerialTaskQueuePtr = std::shared_ptr<SerialTaskQueue>;

}  // namespace dz::auth
