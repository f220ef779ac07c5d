// Positions as the phone OS's location service hands them out: a coordinate pair, its validity
// check, and a location value that measures great-circle distances. Plain values, safe to share
// between threads.
#pragma once

namespace dz::platform {

struct Coordinate2D {
  double latitude = 0;
  double longitude = 0;

  friend bool operator==(const Coordinate2D&, const Coordinate2D&) = default;
};

// True for a latitude within -90..90 and a longitude within -180..180 (ends included); NaN fails.
bool isValidCoordinate(Coordinate2D coordinate);

class Location {
 public:
  Location(double latitude, double longitude) : coordinate_{latitude, longitude} {}
  explicit Location(Coordinate2D coordinate) : coordinate_(coordinate) {}

  Coordinate2D coordinate() const { return coordinate_; }
  // Metres along the great circle between the two positions (haversine on a sphere of the
  // earth's mean radius).
  double distanceFrom(const Location& other) const;

  friend bool operator==(const Location&, const Location&) = default;

 private:
  Coordinate2D coordinate_;
};

// The sphere's radius under distanceFrom(), in metres.
inline constexpr double kEarthMeanRadiusMeters = 6372797.560856;

}  // namespace dz::platform
