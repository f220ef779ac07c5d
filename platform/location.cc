#include "platform/location.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dz::platform {

bool isValidCoordinate(Coordinate2D coordinate) {
  return coordinate.latitude >= -90 && coordinate.latitude <= 90 && coordinate.longitude >= -180 &&
         coordinate.longitude <= 180;
}

double Location::distanceFrom(const Location& other) const {
  constexpr double kRadiansPerDegree = std::numbers::pi / 180;
  const double lat1 = coordinate_.latitude * kRadiansPerDegree;
  const double lat2 = other.coordinate_.latitude * kRadiansPerDegree;
  const double sinHalfLat = std::sin((lat2 - lat1) / 2);
  const double sinHalfLon =
      std::sin((other.coordinate_.longitude - coordinate_.longitude) * kRadiansPerDegree / 2);
  const double a =
      sinHalfLat * sinHalfLat + std::cos(lat1) * std::cos(lat2) * sinHalfLon * sinHalfLon;
  // Rounding can push `a` a hair past 1 for antipodal points; asin would then give NaN.
  return 2 * kEarthMeanRadiusMeters * std::asin(std::sqrt(std::clamp(a, 0.0, 1.0)));
}

}  // namespace dz::platform
