#include "geo/geo_hash_query.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "platform/exception.h"
#include "tests/geo/random_points.h"

namespace dz::geo {
namespace {

using platform::Coordinate2D;
using platform::Location;

GeoHashQuerySet ranges(std::initializer_list<std::pair<const char*, const char*>> list) {
  GeoHashQuerySet set;
  for (auto [start, end] : list) set.emplace(start, end);
  return set;
}

TEST(GeoHashQueryTest, CirclesOfTwentyKilometres) {
  EXPECT_EQ(GeoHashQuery::queriesForLocation({37.7853889, -122.4056973}, 20000),
            ranges({{"9q8s", "9q8~"}, {"9q9h", "9q9s"}}));
  EXPECT_EQ(GeoHashQuery::queriesForLocation({0, 179.9}, 20000),
            ranges({{"2pbn", "2pbs"}, {"8000", "8004"}, {"rzzw", "rzz~"}, {"xbp8", "xbpd"}}));
  for (double latitude : {0.0, 10.0, 30.0, 45.0, 59.0, 60.0, 70.0}) {
    const double delta = 20000 / 110574.0;
    const double longitudeDelta =
        std::max(GeoHashQuery::metersToLongitudeDegrees(20000, latitude + delta),
                 GeoHashQuery::metersToLongitudeDegrees(20000, latitude - delta));
    const unsigned bits =
        GeoHashQuery::bitsForRegion({{latitude, 0}, 2 * delta, 2 * longitudeDelta});
    EXPECT_EQ(bits, latitude < 60 ? 18u : 17u) << latitude;
    for (const GeoHashQuery& query : GeoHashQuery::queriesForLocation({latitude, 3}, 20000)) {
      EXPECT_EQ(query.startValue().size(), 4u) << latitude;
    }
  }
}

TEST(GeoHashQueryTest, CellRanges) {
  const GeoHash hash = GeoHash::fromString("9q8yywdgue");
  EXPECT_EQ(GeoHashQuery::geoHashQueryWithGeoHash(hash, 18), GeoHashQuery("9q8w", "9q8~"));
  EXPECT_EQ(GeoHashQuery::geoHashQueryWithGeoHash(GeoHash::fromString("9q"), 18),
            GeoHashQuery("9q", "9q~"));
  EXPECT_EQ(GeoHashQuery::geoHashQueryWithGeoHash(hash, 50),
            GeoHashQuery("9q8yywdgue", "9q8yywdguf"));
  // No bits at all is the whole map.
  EXPECT_EQ(GeoHashQuery::geoHashQueryWithGeoHash(hash, 0), GeoHashQuery("0", "~"));
}

TEST(GeoHashQueryTest, RangeRelationsAndJoins) {
  EXPECT_EQ(GeoHashQuery::joinQueries(ranges({{"a", "c"}, {"b", "d"}})), ranges({{"a", "d"}}));
  EXPECT_EQ(GeoHashQuery::joinQueries(ranges({{"a", "c"}, {"c", "d"}})), ranges({{"a", "d"}}));
  EXPECT_EQ(GeoHashQuery::joinQueries(ranges({{"a", "d"}, {"b", "c"}})), ranges({{"a", "d"}}));
  EXPECT_EQ(GeoHashQuery::joinQueries(ranges({{"a", "b"}, {"c", "d"}})),
            ranges({{"a", "b"}, {"c", "d"}}));
  EXPECT_EQ(GeoHashQuery::joinQueries(ranges({{"a", "b"}, {"c", "d"}, {"b", "c"}, {"x", "y"}})),
            ranges({{"a", "d"}, {"x", "y"}}));
  EXPECT_EQ(ranges({{"a", "b"}, {"a", "b"}}).size(), 1u);
  EXPECT_FALSE(GeoHashQuery("a", "b").joinWith(GeoHashQuery("c", "d")));
  const GeoHashQuery query("9q8w", "9q8~");
  EXPECT_TRUE(query.containsGeoHash(GeoHash::fromString("9q8w")));
  EXPECT_TRUE(query.containsGeoHash(GeoHash::fromString("9q8zzzzzzz")));
  EXPECT_FALSE(GeoHashQuery("9q8w", "9q8x").containsGeoHash(GeoHash::fromString("9q8x")));
}

TEST(GeoHashQueryTest, LongitudeHelpers) {
  EXPECT_EQ(GeoHashQuery::wrapLongitude(190), -170);
  EXPECT_EQ(GeoHashQuery::wrapLongitude(-190), 170);
  EXPECT_EQ(GeoHashQuery::wrapLongitude(180), 180);
  EXPECT_EQ(GeoHashQuery::wrapLongitude(540), -180);
  EXPECT_EQ(GeoHashQuery::wrapLongitude(-540), 180);
  EXPECT_EQ(GeoHashQuery::metersToLongitudeDegrees(1, 90), 360);
  EXPECT_EQ(GeoHashQuery::metersToLongitudeDegrees(0, 90), 0);
  EXPECT_NEAR(GeoHashQuery::metersToLongitudeDegrees(111319.49, 0), 1, 1e-7);
}

TEST(GeoHashQueryTest, DegenerateSizesNeverReachAnUndefinedCast) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // A zero radius still finds the full-length hashes the store writes.
  const Coordinate2D point{48.1, 11.6};
  for (double radius : {0.0, 1e-9, 0.01}) {
    const GeoHashQuerySet queries = GeoHashQuery::queriesForLocation(point, radius);
    ASSERT_FALSE(queries.empty());
    EXPECT_TRUE(queries.begin()->containsGeoHash(GeoHash(point))) << radius;
  }
  EXPECT_EQ(GeoHashQuery::bitsForRegion({point, 0, 0}), GeoHashQuery::kMaxBits);
  EXPECT_EQ(GeoHashQuery::bitsForRegion({point, kInfinity, kInfinity}), 0u);
  EXPECT_EQ(GeoHashQuery::queriesForLocation(point, kInfinity), ranges({{"0", "~"}}));
  EXPECT_EQ(GeoHashQuery::queriesForRegion({point, 1e300, 1e300}), ranges({{"0", "~"}}));
  EXPECT_LE(GeoHashQuery::bitsForBoundingBoxAtLocation(point, 0), GeoHashQuery::kMaxBits);

  for (double bad : {-1.0, std::nan("")}) {
    EXPECT_THROW(GeoHashQuery::queriesForLocation(point, bad), Exception);
    EXPECT_THROW(GeoHashQuery::queriesForRegion({point, bad, 1}), Exception);
    EXPECT_THROW(GeoHashQuery::queriesForRegion({point, 1, bad}), Exception);
  }
  EXPECT_THROW(GeoHashQuery::queriesForRegion({{std::nan(""), 0}, 1, 1}), Exception);
  EXPECT_THROW(GeoHashQuery::queriesForLocation({0, 181}, 10), Exception);
}

TEST(GeoHashQueryTest, RegionsPastAPoleOrTheAntimeridianStillSample) {
  // Samples beyond the poles clamp, longitudes wrap: nothing throws.
  EXPECT_NO_THROW(GeoHashQuery::queriesForRegion({{89, 10}, 10, 10}));
  EXPECT_NO_THROW(GeoHashQuery::queriesForRegion({{-89, 10}, 10, 10}));
  EXPECT_NO_THROW(GeoHashQuery::queriesForRegion({{95, 200}, 10, 10}));
  // A longitude span wrapping onto itself still covers both hemispheres.
  const GeoHashQuerySet queries = GeoHashQuery::queriesForRegion({{10, 0}, 1, 720});
  for (double longitude : {-170.0, -1.0, 1.0, 170.0}) {
    const GeoHash hash({10, longitude});
    EXPECT_TRUE(std::any_of(queries.begin(), queries.end(), [&](const GeoHashQuery& q) {
      return q.containsGeoHash(hash);
    })) << longitude;
  }
}

TEST(GeoHashQueryTest, EveryPointOfACircleFallsInOneOfItsRanges) {
  std::mt19937_64 random(13);
  auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  int checked = 0;
  for (int circle = 0; circle < 3000; ++circle) {
    Coordinate2D center;
    switch (circle % 4) {
      case 0:
        center = {uniform(-85, 85), uniform(-180, 180)};
        break;
      case 1:
        center = {uniform(-85, 85), uniform(178, 180) * (circle % 8 == 1 ? 1 : -1)};
        break;
      case 2:
        center = {uniform(85, 89.9), uniform(-180, 180)};
        break;
      default:
        center = {-uniform(85, 89.9), uniform(-180, 180)};
        break;
    }
    // Radii from a metre to a thousand kilometres, evenly over the orders of magnitude.
    const double radius = std::pow(10, uniform(0, 6));
    const GeoHashQuerySet queries = GeoHashQuery::queriesForLocation(center, radius);
    for (int i = 0; i < 40; ++i) {
      const double distance = i < 8 ? radius : radius * std::sqrt(uniform(0, 1));
      const Coordinate2D point =
          testing::RandomPoints::destination(center, uniform(0, 2 * std::numbers::pi), distance);
      if (Location(point).distanceFrom(Location(center)) > radius) continue;
      const GeoHash hash(point);
      ASSERT_TRUE(std::any_of(queries.begin(), queries.end(),
                              [&](const GeoHashQuery& q) { return q.containsGeoHash(hash); }))
          << "circle at " << center.latitude << "," << center.longitude << " radius " << radius
          << " misses " << point.latitude << "," << point.longitude;
      ++checked;
    }
  }
  EXPECT_GT(checked, 80000);
}

}  // namespace
}  // namespace dz::geo
