// The wall clock of the process, in seconds since 1970 with the fraction: server time offsets,
// token expiry, record dates and file stamps read it. Tests replace it through one hook to move
// time without waiting. Thread-safe.
#pragma once

#include <functional>

namespace dz::platform {

double wallClockSeconds();

// Replaces the wall clock for the whole process; an empty function puts the system clock back.
void setWallClockSource(std::function<double()> source);

}  // namespace dz::platform
