#include "database/core/event_raiser.h"

#include <exception>
#include <string>

#include "database/utilities/logging.h"

namespace dz::database {

namespace {

constexpr char kLogCode[] = "I-RDB08503";

void runGuarded(const std::function<void()>& callback) {
  try {
    callback();
  } catch (const std::exception& e) {
    logError(kLogCode, std::string("A database callback threw: ") + e.what());
  } catch (...) {
    logError(kLogCode, "A database callback threw a non-standard exception");
  }
}

}  // namespace

void EventRaiser::raiseEvents(Events events) {
  if (events.empty()) return;
  queue_->async([events = std::move(events)] {
    for (const Event& event : events) runGuarded([&event] { event.fire(); });
  });
}

void EventRaiser::raiseCallback(std::function<void()> callback) {
  if (!callback) return;
  queue_->async([callback = std::move(callback)] { runGuarded(callback); });
}

void EventRaiser::raiseCallbacks(std::vector<std::function<void()>> callbacks) {
  if (callbacks.empty()) return;
  queue_->async([callbacks = std::move(callbacks)] {
    for (const auto& callback : callbacks) {
      if (callback) runGuarded(callback);
    }
  });
}

}  // namespace dz::database
