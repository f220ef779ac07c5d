// How long the platform tests wait for what should happen at once: generous, so that a loaded
// machine running sanitized copies side by side never fails a sound test.
#pragma once

#include <chrono>
#include <functional>

#include "platform/run_loop.h"

namespace dz::platform {

inline constexpr auto kGenerousWait = std::chrono::seconds(20);

// Runs this thread's run loop until `done` holds; false when it did not within kGenerousWait.
inline bool runLoopUntil(const std::function<bool()>& done) {
  return RunLoop::current().runUntil(done, kGenerousWait);
}

}  // namespace dz::platform
