// The platform's own last-resort log: one line to standard error, written whole. Used where no
// higher logger exists (a task that threw on a queue). Thread-safe.
#pragma once

#include <string_view>

namespace dz::platform {

void logLine(std::string_view line);

}  // namespace dz::platform
