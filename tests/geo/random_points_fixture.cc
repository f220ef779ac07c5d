#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "geo/geo_hash_query.h"
#include "tests/geo/random_points.h"
#include "tests/support/redis_client.h"

namespace dz::testing {
namespace {

constexpr platform::Coordinate2D kClusters[] = {
    {37.78, -122.41}, {-0.2, 179.93}, {-33.87, 151.21}, {60.17, 24.94}, {84.2, 40.0}};
constexpr double kClusterRadius = 80000;

}  // namespace

RandomPoints::RandomPoints(size_t count, uint64_t seed) : random_(seed) {
  for (size_t i = 0; i < count; ++i) points_.push_back(randomPoint());
}

double RandomPoints::uniform(double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random_);
}

platform::Coordinate2D RandomPoints::randomPoint() {
  const auto& cluster = kClusters[static_cast<size_t>(uniform(0, 5)) % 5];
  return destination(cluster, uniform(0, 2 * std::numbers::pi),
                     kClusterRadius * std::sqrt(uniform(0, 1)));
}

std::pair<platform::Coordinate2D, double> RandomPoints::randomCircle() {
  const auto& cluster = kClusters[static_cast<size_t>(uniform(0, 5)) % 5];
  const auto center =
      destination(cluster, uniform(0, 2 * std::numbers::pi), 40000 * std::sqrt(uniform(0, 1)));
  return {center, std::pow(10, uniform(3, std::log10(60000)))};
}

std::string RandomPoints::text(double degrees) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", degrees);
  return buffer;
}

void RandomPoints::addTo(RedisClient& redis, const std::string& key) const {
  for (size_t begin = 0; begin < points_.size(); begin += 1000) {
    std::vector<std::string> arguments = {"GEOADD", key};
    for (size_t i = begin; i < std::min(points_.size(), begin + 1000); ++i) {
      arguments.push_back(text(points_[i].longitude));
      arguments.push_back(text(points_[i].latitude));
      arguments.push_back(name(i));
    }
    redis.command(arguments);
  }
}

platform::Coordinate2D RandomPoints::destination(platform::Coordinate2D from, double bearing,
                                                 double distance) {
  constexpr double kDegree = std::numbers::pi / 180;
  const double angle = distance / platform::kEarthMeanRadiusMeters;
  const double lat1 = from.latitude * kDegree;
  const double lat2 = std::asin(std::sin(lat1) * std::cos(angle) +
                                std::cos(lat1) * std::sin(angle) * std::cos(bearing));
  const double lon2 =
      from.longitude * kDegree + std::atan2(std::sin(bearing) * std::sin(angle) * std::cos(lat1),
                                            std::cos(angle) - std::sin(lat1) * std::sin(lat2));
  return {std::clamp(lat2 / kDegree, -90.0, 90.0),
          geo::GeoHashQuery::wrapLongitude(lon2 / kDegree)};
}

}  // namespace dz::testing
