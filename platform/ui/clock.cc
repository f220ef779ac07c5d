#include "platform/ui/clock.h"

#include <chrono>
#include <cmath>

#include "platform/dispatch_queue.h"

namespace dz::ui {
namespace {

std::shared_ptr<platform::Scheduler>& installed() {
  static auto* clock = new std::shared_ptr<platform::Scheduler>();
  return *clock;
}

}  // namespace

std::shared_ptr<platform::Scheduler> scheduler() {
  auto& clock = installed();
  return clock ? clock : platform::Scheduler::system();
}

void setScheduler(std::shared_ptr<platform::Scheduler> replacement) {
  installed() = std::move(replacement);
}

TimePoint now() { return scheduler()->now(); }

Duration seconds(double value) {
  if (!(value > 0)) return Duration::zero();
  // Far beyond any animation: a delay the clock cannot hold never comes.
  if (value > 1e9) return Duration::max();
  return std::chrono::duration_cast<Duration>(
      std::chrono::nanoseconds(static_cast<int64_t>(value * 1e9)));
}

double toSeconds(Duration duration) { return std::chrono::duration<double>(duration).count(); }

CancellablePtr after(double delay, std::function<void()> task) {
  return scheduler()->schedule(seconds(delay), platform::DispatchQueue::main(), std::move(task));
}

}  // namespace dz::ui
