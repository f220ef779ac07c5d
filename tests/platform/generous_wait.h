// How long the platform tests wait for what should happen at once: generous, so that a loaded
// machine running sanitized copies side by side never fails a sound test.
#pragma once

#include <chrono>

namespace dz::platform {

inline constexpr auto kGenerousWait = std::chrono::seconds(20);

}  // namespace dz::platform
