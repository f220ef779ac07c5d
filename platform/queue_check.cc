#include "platform/queue_check.h"

#include <cstdlib>
#include <string>

#include "platform/log.h"
#include "platform/run_loop.h"

namespace dz::platform {
namespace {

std::string whereCalled() {
  if (auto current = DispatchQueue::current()) return "on queue \"" + current->label() + "\"";
  return RunLoop::isMainThread() ? "on the main thread outside any queue"
                                 : "on a thread outside any queue";
}

}  // namespace

bool isOnQueue(const DispatchQueue& queue) {
  return queue.isCurrent() || (&queue == DispatchQueue::main().get() && RunLoop::isMainThread());
}

void assertOnQueue(const DispatchQueuePtr& queue, const char* function) noexcept {
  if (queue && isOnQueue(*queue)) return;
  // Written straight to standard error: a logger's own queue would lose the line to the abort.
  std::string expected = queue ? "queue \"" + queue->label() + "\"" : "a queue never given";
  logLine(std::string("Queue check failed: ") + function + " must run on " + expected +
          ", called " + whereCalled());
  std::abort();
}

}  // namespace dz::platform
