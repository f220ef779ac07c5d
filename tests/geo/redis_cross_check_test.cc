// The circle answer of the geo code (ranges, then the distance test) against a real redis-server's
// GEOSEARCH over the same random points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geo/geo_hash_query.h"
#include "tests/geo/random_points.h"
#include "tests/support/redis_client.h"
#include "tests/support/redis_server.h"

namespace dz::geo {
namespace {

using platform::Coordinate2D;
using platform::Location;

TEST(RedisCrossCheckTest, CircleAnswersMatchGeoSearch) {
  dz::testing::RandomPoints points(10000, 1313);
  dz::testing::RedisServer server;
  dz::testing::RedisClient redis(server.port());
  points.addTo(redis, "points");

  // The store's view: entries sorted by hash, read range by range as the database would.
  std::vector<std::pair<std::string, size_t>> byHash;
  for (size_t i = 0; i < points.size(); ++i) {
    byHash.emplace_back(GeoHash(points.at(i)).geoHashValue(), i);
  }
  std::sort(byHash.begin(), byHash.end());

  size_t found = 0;
  for (int circle = 0; circle < 100; ++circle) {
    const auto [center, radius] = points.randomCircle();
    std::set<std::string> ours;
    for (const GeoHashQuery& range : GeoHashQuery::queriesForLocation(center, radius)) {
      auto it = std::lower_bound(byHash.begin(), byHash.end(),
                                 std::make_pair(range.startValue(), size_t{0}));
      for (; it != byHash.end() && it->first < range.endValue(); ++it) {
        if (Location(points.at(it->second)).distanceFrom(Location(center)) <= radius) {
          ours.insert(points.name(it->second));
        }
      }
    }
    const std::vector<std::string> answer =
        redis.strings({"GEOSEARCH", "points", "FROMLONLAT", points.text(center.longitude),
                       points.text(center.latitude), "BYRADIUS", points.text(radius), "m"});
    std::set<std::string> theirs(answer.begin(), answer.end());
    // Redis keeps positions to about half a metre; points that close to the edge may fall
    // either way.
    for (size_t i = 0; i < points.size(); ++i) {
      const double distance = Location(points.at(i)).distanceFrom(Location(center));
      if (std::abs(distance - radius) <= 1) {
        ours.erase(points.name(i));
        theirs.erase(points.name(i));
      }
    }
    EXPECT_EQ(ours, theirs) << "circle " << circle << " at " << center.latitude << ","
                            << center.longitude << " radius " << radius;
    found += ours.size();
  }
  EXPECT_GT(found, 1000u);  // the circles do hold points
}

}  // namespace
}  // namespace dz::geo
