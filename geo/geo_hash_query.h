// GeoHashQuery: a range of geo-hash strings [startValue, endValue) that a live query asks the
// database for, and the computations that choose the few ranges covering a circle or a region.
// The end may end in "~", which orders after every alphabet character. Immutable values and pure
// functions, safe from any thread.
#pragma once

#include <compare>
#include <optional>
#include <set>
#include <string>

#include "geo/geo_hash.h"
#include "platform/location.h"

namespace dz::geo {

// An area of the map: its center and its full extent in degrees.
struct Region {
  platform::Coordinate2D center;
  double latitudeSpan = 0;
  double longitudeSpan = 0;

  friend bool operator==(const Region&, const Region&) = default;
};

// Throw dz::Exception (invalid argument) for what queriesForLocation / queriesForRegion refuse.
void checkRadius(double meters);
void checkRegion(const Region& region);

class GeoHashQuery;
// Ordered by start then end, so iteration is deterministic and equal ranges collapse.
using GeoHashQuerySet = std::set<GeoHashQuery>;

class GeoHashQuery {
 public:
  static constexpr unsigned kMaxBits = 110;

  GeoHashQuery(std::string startValue, std::string endValue)
      : startValue_(std::move(startValue)), endValue_(std::move(endValue)) {}

  const std::string& startValue() const { return startValue_; }
  const std::string& endValue() const { return endValue_; }
  std::string description() const;

  // This range overlaps or touches `other` from below.
  bool isPrefixTo(const GeoHashQuery& other) const;
  bool isSuperQueryOf(const GeoHashQuery& other) const;
  bool canJoinWith(const GeoHashQuery& other) const;
  // The union of two ranges that can join; none otherwise.
  std::optional<GeoHashQuery> joinWith(const GeoHashQuery& other) const;
  // startValue <= hash < endValue.
  bool containsGeoHash(const GeoHash& hash) const;

  friend bool operator==(const GeoHashQuery&, const GeoHashQuery&) = default;
  friend auto operator<=>(const GeoHashQuery&, const GeoHashQuery&) = default;

  static double bitsForLatitudeWithResolution(double meters);
  static double metersToLongitudeDegrees(double distance, double latitude);
  static double bitsForLongitudeWithResolution(double meters, double latitude);
  // Degrees within -180..180.
  static double wrapLongitude(double degrees);
  static unsigned bitsForBoundingBoxAtLocation(platform::Coordinate2D location, double size);
  // Bits of the cells that a region needs, 0..110; zero or infinite spans give the ends.
  static unsigned bitsForRegion(const Region& region);
  // The range of the cell of `hash` cut to `bits` bits.
  static GeoHashQuery geoHashQueryWithGeoHash(const GeoHash& hash, unsigned bits);
  // Joins overlapping or touching ranges until none remain.
  static GeoHashQuerySet joinQueries(const GeoHashQuerySet& queries);

  // The ranges that cover a region, or a circle of `radius` metres. A negative or NaN span or
  // radius, a region center that is not finite or a circle center off the map throws
  // dz::Exception (invalid argument); an infinite span or radius covers everything. Sample
  // latitudes beyond a pole are clamped to it, longitudes wrapped, and a longitude span over 180
  // degrees samples the whole longitude range.
  static GeoHashQuerySet queriesForRegion(const Region& region);
  static GeoHashQuerySet queriesForLocation(platform::Coordinate2D center, double radius);

 private:
  std::string startValue_;
  std::string endValue_;
};

}  // namespace dz::geo

template <>
struct std::hash<dz::geo::GeoHashQuery> {
  size_t operator()(const dz::geo::GeoHashQuery& query) const noexcept {
    const std::hash<std::string> hash;
    return 31 * hash(query.startValue()) + hash(query.endValue());
  }
};
