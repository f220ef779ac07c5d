#include "geo/geo_hash_query.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "geo/base32_utils.h"
#include "platform/exception.h"

namespace dz::geo {
namespace {

constexpr double kHalfMeridionalCircumference = 20003930.0;
constexpr double kMetersPerDegreeLatitude = 110574.0;
constexpr double kEquatorialRadius = 6378137.0;
constexpr double kSquaredEccentricity = 0.00669447819799;
constexpr double kEpsilon = 1e-12;
constexpr double kDegreesPerRadian = 180 / std::numbers::pi;
// A stored entry carries a hash of the default precision, so finer cells would start after it.
constexpr unsigned kStoredBits = GeoHash::kDefaultPrecision * GeoHash::kBitsPerCharacter;

// floor(bits) as an integer; infinities and NaN (zero or infinite sizes) land at the ends rather
// than in an undefined conversion.
int floorBits(double bits) {
  if (!(bits >= -1)) return -1;
  if (bits >= GeoHashQuery::kMaxBits) return GeoHashQuery::kMaxBits;
  return static_cast<int>(std::floor(bits));
}

unsigned precisionForBits(unsigned bits) {
  return bits == 0 ? 1 : (bits - 1) / GeoHash::kBitsPerCharacter + 1;
}

// Half the longitude extent of a circle on the sphere under Location::distanceFrom(), which is
// wider than the ellipsoid's degree length gives; 360 when the circle holds a pole.
double sphericalLongitudeDelta(double latitude, double radius) {
  const double angle = radius / platform::kEarthMeanRadiusMeters;
  const double polarDistance = (90 - std::abs(latitude)) / kDegreesPerRadian;
  if (angle >= polarDistance) return 360;
  return std::asin(std::min(1.0, std::sin(angle) / std::cos(latitude / kDegreesPerRadian))) *
         kDegreesPerRadian;
}

}  // namespace

void checkRadius(double meters) {
  if (!(meters >= 0)) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "Not a valid radius: %f", meters);
    throw Exception(kInvalidArgumentException, reason);
  }
}

void checkRegion(const Region& region) {
  if (!(region.latitudeSpan >= 0) || !(region.longitudeSpan >= 0) ||
      !std::isfinite(region.center.latitude) || !std::isfinite(region.center.longitude)) {
    char reason[160];
    std::snprintf(reason, sizeof reason, "Not a valid region: [%f,%f] spanning [%f,%f]",
                  region.center.latitude, region.center.longitude, region.latitudeSpan,
                  region.longitudeSpan);
    throw Exception(kInvalidArgumentException, reason);
  }
}

std::string GeoHashQuery::description() const {
  return "GSGeoHashQuery: " + startValue_ + "-" + endValue_;
}

bool GeoHashQuery::isPrefixTo(const GeoHashQuery& other) const {
  return endValue_ >= other.startValue_ && startValue_ < other.startValue_ &&
         endValue_ < other.endValue_;
}

bool GeoHashQuery::isSuperQueryOf(const GeoHashQuery& other) const {
  return startValue_ <= other.startValue_ && endValue_ >= other.endValue_;
}

bool GeoHashQuery::canJoinWith(const GeoHashQuery& other) const {
  return isPrefixTo(other) || other.isPrefixTo(*this) || isSuperQueryOf(other) ||
         other.isSuperQueryOf(*this);
}

std::optional<GeoHashQuery> GeoHashQuery::joinWith(const GeoHashQuery& other) const {
  if (isPrefixTo(other)) return GeoHashQuery(startValue_, other.endValue_);
  if (other.isPrefixTo(*this)) return GeoHashQuery(other.startValue_, endValue_);
  if (isSuperQueryOf(other)) return *this;
  if (other.isSuperQueryOf(*this)) return other;
  return std::nullopt;
}

bool GeoHashQuery::containsGeoHash(const GeoHash& hash) const {
  const std::string& value = hash.geoHashValue();
  return startValue_ <= value && value < endValue_;
}

double GeoHashQuery::bitsForLatitudeWithResolution(double meters) {
  return std::log2(kHalfMeridionalCircumference / meters);
}

double GeoHashQuery::metersToLongitudeDegrees(double distance, double latitude) {
  const double radians = latitude / kDegreesPerRadian;
  const double sinLatitude = std::sin(radians);
  const double degreeLength = std::cos(radians) * kEquatorialRadius / kDegreesPerRadian /
                              std::sqrt(1 - kSquaredEccentricity * sinLatitude * sinLatitude);
  if (degreeLength < kEpsilon) return distance > 0 ? 360 : 0;
  return std::min(360.0, distance / degreeLength);
}

double GeoHashQuery::bitsForLongitudeWithResolution(double meters, double latitude) {
  const double degrees = metersToLongitudeDegrees(meters, latitude);
  if (degrees == 0 || std::isnan(degrees)) return 1;
  return std::log2(360 / degrees);
}

double GeoHashQuery::wrapLongitude(double degrees) {
  if (degrees >= -180 && degrees <= 180) return degrees;
  const double shifted = degrees + 180;
  if (shifted > 0) return std::fmod(shifted, 360) - 180;
  return 180 - std::fmod(-shifted, 360);
}

unsigned GeoHashQuery::bitsForBoundingBoxAtLocation(platform::Coordinate2D location, double size) {
  const double delta = size / kMetersPerDegreeLatitude;
  const double north = std::min(90.0, location.latitude + delta);
  const double south = std::max(-90.0, location.latitude - delta);
  const int latitudeBits = std::max(0, floorBits(bitsForLatitudeWithResolution(size))) * 2;
  const int northBits = std::max(1, floorBits(bitsForLongitudeWithResolution(size, north))) * 2 - 1;
  const int southBits = std::max(1, floorBits(bitsForLongitudeWithResolution(size, south))) * 2 - 1;
  return static_cast<unsigned>(
      std::min({latitudeBits, northBits, southBits, static_cast<int>(kMaxBits)}));
}

unsigned GeoHashQuery::bitsForRegion(const Region& region) {
  const int latitudeBits = floorBits(std::log2(180 / (region.latitudeSpan * 0.5)));
  const int longitudeBits = floorBits(std::log2(360 / (region.longitudeSpan * 0.5)));
  return static_cast<unsigned>(
      std::min({std::max(0, latitudeBits) * 2, std::max(1, longitudeBits) * 2 - 1, int{kMaxBits}}));
}

GeoHashQuery GeoHashQuery::geoHashQueryWithGeoHash(const GeoHash& geoHash, unsigned bits) {
  const std::string& hash = geoHash.geoHashValue();
  const unsigned precision = precisionForBits(bits);
  if (hash.size() < precision) return GeoHashQuery(hash, hash + "~");
  const std::string base = hash.substr(0, precision - 1);
  const unsigned long last = Base32Utils::base32CharacterToValue(hash[precision - 1]);
  const unsigned significant = bits - GeoHash::kBitsPerCharacter * base.size();
  const unsigned free = GeoHash::kBitsPerCharacter - significant;
  const unsigned long startValue = (last >> free) << free;
  const unsigned long endValue = startValue + (1ul << free);
  std::string start = base + Base32Utils::valueToBase32Character(startValue);
  std::string end =
      endValue > 31 ? base + "~" : base + Base32Utils::valueToBase32Character(endValue);
  return GeoHashQuery(std::move(start), std::move(end));
}

GeoHashQuerySet GeoHashQuery::joinQueries(const GeoHashQuerySet& queries) {
  // Two ranges join exactly when they overlap or touch, so one pass in start order reaches the
  // same result as joining pairs until nothing more joins.
  GeoHashQuerySet joined;
  std::optional<GeoHashQuery> current;
  for (const GeoHashQuery& query : queries) {
    if (current && current->canJoinWith(query)) {
      current = current->joinWith(query);
      continue;
    }
    if (current) joined.insert(*current);
    current = query;
  }
  if (current) joined.insert(*current);
  return joined;
}

GeoHashQuerySet GeoHashQuery::queriesForRegion(const Region& region) {
  checkRegion(region);
  Region clamped = region;
  clamped.latitudeSpan = std::min(region.latitudeSpan, 360.0);
  clamped.longitudeSpan = std::min(region.longitudeSpan, 360.0);
  const unsigned bits = std::min(bitsForRegion(clamped), kStoredBits);
  const unsigned precision = precisionForBits(bits);

  auto clampLatitude = [](double latitude) { return std::clamp(latitude, -90.0, 90.0); };
  const double center = clampLatitude(region.center.latitude);
  const double latitudes[] = {center, clampLatitude(center + clamped.latitudeSpan / 2),
                              clampLatitude(center - clamped.latitudeSpan / 2)};
  const double centerLongitude = wrapLongitude(region.center.longitude);
  double longitudes[] = {centerLongitude, -180, 180};
  if (clamped.longitudeSpan <= 180) {
    longitudes[1] = wrapLongitude(centerLongitude - clamped.longitudeSpan / 2);
    longitudes[2] = wrapLongitude(centerLongitude + clamped.longitudeSpan / 2);
  }
  GeoHashQuerySet queries;
  for (double latitude : latitudes) {
    for (double longitude : longitudes) {
      queries.insert(geoHashQueryWithGeoHash(GeoHash({latitude, longitude}, precision), bits));
    }
  }
  return joinQueries(queries);
}

GeoHashQuerySet GeoHashQuery::queriesForLocation(platform::Coordinate2D center, double radius) {
  checkLocation(center);
  checkRadius(radius);
  const double latitudeDelta = radius / kMetersPerDegreeLatitude;
  const double north = std::min(90.0, center.latitude + latitudeDelta);
  const double south = std::max(-90.0, center.latitude - latitudeDelta);
  const double longitudeDelta =
      std::max({metersToLongitudeDegrees(radius, north), metersToLongitudeDegrees(radius, south),
                sphericalLongitudeDelta(center.latitude, radius)});
  return queriesForRegion({center, 2 * latitudeDelta, 2 * longitudeDelta});
}

}  // namespace dz::geo
