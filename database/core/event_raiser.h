// EventRaiser: hands events and callbacks from the work queue to the callback queue, where they
// run in the order raised. A callback (a user's) that throws is caught and logged there, and the
// ones after it still run. Thread-safe; held by the repository.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "database/core/view/event.h"
#include "platform/dispatch_queue.h"

namespace dz::database {

class EventRaiser {
 public:
  explicit EventRaiser(platform::DispatchQueuePtr queue) : queue_(std::move(queue)) {}

  // Fires each event on the callback queue in list order.
  void raiseEvents(Events events);
  void raiseCallback(std::function<void()> callback);
  void raiseCallbacks(std::vector<std::function<void()>> callbacks);

  const platform::DispatchQueuePtr& queue() const { return queue_; }

 private:
  platform::DispatchQueuePtr queue_;
};

}  // namespace dz::database
