#include "geo/geo_hash.h"

#include <cstdio>

#include "geo/base32_utils.h"
#include "platform/exception.h"

namespace dz::geo {

void checkLocation(platform::Coordinate2D location) {
  if (!platform::isValidCoordinate(location)) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "Not a valid geo location: [%f,%f]", location.latitude,
                  location.longitude);
    throw Exception(kInvalidArgumentException, reason);
  }
}

GeoHash::GeoHash(platform::Coordinate2D location, unsigned precision) {
  if (precision == 0) {
    throw Exception(kInvalidArgumentException, "Precision must be larger than 0!");
  }
  if (precision > kMaxPrecision) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "Precision must be less than %u!", kMaxPrecision + 1);
    throw Exception(kInvalidArgumentException, reason);
  }
  checkLocation(location);
  double longitudeRange[2] = {-180, 180};
  double latitudeRange[2] = {-90, 90};
  value_.reserve(precision);
  for (unsigned i = 0; i < precision; ++i) {
    unsigned long v = 0;
    for (unsigned j = 0; j < kBitsPerCharacter; ++j) {
      const bool even = (i * kBitsPerCharacter + j) % 2 == 0;
      double* range = even ? longitudeRange : latitudeRange;
      const double coordinate = even ? location.longitude : location.latitude;
      const double mid = (range[0] + range[1]) * 0.5;
      if (coordinate > mid) {
        v = v * 2 + 1;
        range[0] = mid;
      } else {
        v = v * 2;
        range[1] = mid;
      }
    }
    value_.push_back(Base32Utils::valueToBase32Character(v));
  }
}

GeoHash GeoHash::fromString(std::string hash) {
  if (!isValidGeoHash(hash)) {
    throw Exception(kInvalidArgumentException, "Not a valid geo hash: " + hash);
  }
  return GeoHash(Checked{}, std::move(hash));
}

bool GeoHash::isValidGeoHash(std::string_view hash) {
  if (hash.empty()) return false;
  for (char c : hash) {
    if (Base32Utils::valueOf(c) < 0) return false;
  }
  return true;
}

}  // namespace dz::geo
