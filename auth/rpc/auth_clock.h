// The wall clock of authentication, in seconds since 1970: token expiry dates are computed and
// checked with it. Tests replace it to move time without waiting. Thread-safe.
#pragma once

#include <functional>

namespace dz::auth {

double currentTime();
// Replaces the clock; an empty function restores the system clock.
void setTimeSource(std::function<double()> source);

}  // namespace dz::auth
