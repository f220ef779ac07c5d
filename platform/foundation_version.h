// The Foundation version number of the platform the application runs on. Platforms at 1299 or
// below have no user-notification center: permission is asked through the application's
// notification-settings registration. A simulated device may claim an older platform. Main
// thread only.
#pragma once

namespace dz::platform {

// The number of the platform this stand-in simulates by default.
inline constexpr double kFoundationVersionNumberDefault = 1400;

namespace detail {
inline double foundationVersionNumber = kFoundationVersionNumberDefault;
}

inline double foundationVersionNumber() { return detail::foundationVersionNumber; }
inline void setFoundationVersionNumber(double number) { detail::foundationVersionNumber = number; }

}  // namespace dz::platform
