// The clock of the UI layer: animations read the time from it, and the layer's timers (animation
// ends, delayed steps, self-dismissal) run through it on the main queue. It is the platform
// scheduler seam: the system scheduler by default, a ManualScheduler in tests, which then pump
// the main run loop after advancing. Main thread only, like the whole UI layer.
#pragma once

#include <functional>
#include <memory>

#include "platform/scheduler.h"

namespace dz::ui {

using platform::CancellablePtr;
using platform::Duration;
using platform::TimePoint;

std::shared_ptr<platform::Scheduler> scheduler();
// Replaces the clock; null puts the system scheduler back.
void setScheduler(std::shared_ptr<platform::Scheduler> scheduler);
TimePoint now();

// Runs `task` on the main queue after `seconds` of the UI clock; cancel to withdraw it.
CancellablePtr after(double seconds, std::function<void()> task);

// Converts seconds (fractions allowed, negative as 0) to the scheduler's duration, truncating to
// whole nanoseconds.
Duration seconds(double value);
double toSeconds(Duration duration);

}  // namespace dz::ui
