// The UI clock of UI tests: one manual scheduler for the whole test process (animations and
// timers made in one test may still be attached in the next), and pumping of the main queue,
// where the UI layer's timers and queued work run.
#pragma once

#include <chrono>
#include <memory>

#include "platform/run_loop.h"
#include "platform/scheduler.h"
#include "platform/ui/clock.h"

namespace dz::ui::test {

inline std::shared_ptr<platform::ManualScheduler> uiClock() {
  static auto* clock = [] {
    auto* scheduler =
        new std::shared_ptr<platform::ManualScheduler>(platform::ManualScheduler::create());
    setScheduler(*scheduler);
    return scheduler;
  }();
  return *clock;
}

// Installed before any test runs, so nothing starts on the system clock.
inline const bool kUiClockInstalled = (uiClock(), true);

// Runs main-queue work until none is left.
inline void pump() {
  uiClock();
  while (platform::RunLoop::main().runOnce(std::chrono::milliseconds(0))) {
  }
}

// Moves the UI clock forward in steps of a millisecond, running what falls due as it goes, so
// that work started by a timer is timed from that timer's moment.
inline void advance(double seconds) {
  pump();
  auto remaining =
      std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
  const platform::Duration step = std::chrono::milliseconds(1);
  while (remaining > platform::Duration::zero()) {
    platform::Duration by = std::min(step, remaining);
    uiClock()->advance(by);
    remaining -= by;
    pump();
  }
}

}  // namespace dz::ui::test
