// GeoHash: the geo-hash string of a position, the key under which the geo store files it and by
// whose prefixes live queries find it. An immutable value; safe to share between threads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/location.h"

namespace dz::geo {

// Throws dz::Exception (invalid argument) "Not a valid geo location: [lat,lon]" for a coordinate
// outside -90..90 / -180..180.
void checkLocation(platform::Coordinate2D location);

class GeoHash {
 public:
  static constexpr unsigned kDefaultPrecision = 10;  // characters
  static constexpr unsigned kMaxPrecision = 22;
  static constexpr unsigned kBitsPerCharacter = 5;

  // Encodes `location` with `precision` characters (1..22). Throws dz::Exception (invalid
  // argument) for another precision or a coordinate outside -90..90 / -180..180.
  explicit GeoHash(platform::Coordinate2D location, unsigned precision = kDefaultPrecision);
  // Adopts a hash string; throws dz::Exception (invalid argument) unless isValidGeoHash().
  static GeoHash fromString(std::string hash);
  // Non-empty and made of alphabet characters only; the length plays no part.
  static bool isValidGeoHash(std::string_view hash);

  const std::string& geoHashValue() const { return value_; }
  std::string description() const { return "GSGeoHash: " + value_; }

  friend bool operator==(const GeoHash&, const GeoHash&) = default;

 private:
  struct Checked {};
  GeoHash(Checked, std::string hash) : value_(std::move(hash)) {}

  std::string value_;
};

}  // namespace dz::geo

template <>
struct std::hash<dz::geo::GeoHash> {
  size_t operator()(const dz::geo::GeoHash& hash) const noexcept {
    return std::hash<std::string>()(hash.geoHashValue());
  }
};
