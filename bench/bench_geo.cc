// Geo queries: the ranges a circle needs, beside the floor of encoding its nine sample hashes;
// and 10,000 keys entering one live circle end to end through the development server (time to
// ready), beside Redis answering the same circle with GEOSEARCH.
#include <benchmark/benchmark.h>

#include <boost/json/object.hpp>
#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <random>

#include "database/api/database.h"
#include "geo/circle_query.h"
#include "geo/geo_store.h"
#include "platform/resolver.h"
#include "platform/run_loop.h"
#include "tests/geo/random_points.h"
#include "tests/support/redis_client.h"
#include "tests/support/redis_server.h"
#include "tools/devserver/dev_server.h"

namespace {

using dz::geo::GeoHash;
using dz::geo::GeoHashQuery;
using dz::platform::Coordinate2D;
using dz::testing::RandomPoints;

constexpr double kRadius = 20000;  // the application's circles
constexpr Coordinate2D kCenter{37.7853889, -122.4056973};
constexpr size_t kKeys = 10000;

std::vector<Coordinate2D> randomCenters() {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> latitude(-80, 80), longitude(-180, 180);
  std::vector<Coordinate2D> centers(4096);
  for (auto& center : centers) center = {latitude(random), longitude(random)};
  return centers;
}

void BM_QueryRangesPerCircle(benchmark::State& state) {
  const auto centers = randomCenters();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        GeoHashQuery::queriesForLocation(centers[i++ % centers.size()], kRadius));
  }
  state.SetItemsProcessed(state.iterations());
}

// The least a circle's ranges cost: its nine sample hashes, at the ranges' precision.
void BM_NineSampleHashesFloor(benchmark::State& state) {
  const auto centers = randomCenters();
  size_t i = 0;
  for (auto _ : state) {
    const Coordinate2D c = centers[i++ % centers.size()];
    for (double dLat : {-0.18, 0.0, 0.18}) {
      for (double dLon : {-0.2, 0.0, 0.2}) {
        benchmark::DoNotOptimize(
            GeoHash({c.latitude + dLat, GeoHashQuery::wrapLongitude(c.longitude + dLon)}, 4));
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
}

std::vector<Coordinate2D> pointsInCircle() {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<Coordinate2D> points(kKeys);
  for (auto& point : points) {
    point = RandomPoints::destination(kCenter, unit(random) * 2 * std::numbers::pi,
                                      0.99 * kRadius * std::sqrt(unit(random)));
  }
  return points;
}

// A development server holding the 10,000 entries, and a reference to them on a client of its
// own.
struct StoredPoints {
  explicit StoredPoints(const std::string& client) : server(dz::devserver::DevServer::start()) {
    dz::platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    boost::json::object entries;
    const auto points = pointsInCircle();
    for (size_t i = 0; i < points.size(); ++i) {
      entries[RandomPoints::name(i)] = {{"g", GeoHash(points[i]).geoHashValue()},
                                        {"l", {points[i].latitude, points[i].longitude}}};
    }
    server->set("/places", entries);
    reference = dz::database::DatabaseReference::fromURL(
        server->databaseUrl() + "/places", dz::database::DatabaseConfig::configForName(client));
  }
  ~StoredPoints() { reference->database()->goOffline(); }

  std::unique_ptr<dz::devserver::DevServer> server;
  std::optional<dz::database::DatabaseReference> reference;
};

bool runUntil(const std::function<bool()>& done) {
  return dz::platform::RunLoop::main().runUntil(done, std::chrono::minutes(2));
}

void BM_LiveQueryTenThousandKeysToReady(benchmark::State& state) {
  StoredPoints stored("bench-geo");
  auto store = dz::geo::GeoStore::create(*stored.reference);
  for (auto _ : state) {
    auto query = store->queryAtLocation(dz::platform::Location(kCenter), kRadius / 1000);
    size_t entered = 0;
    bool ready = false;
    query->observeEventType(dz::geo::GeoEventType::kKeyEntered,
                   [&](const auto&, const auto&) { ++entered; });
    query->observeReadyWithBlock([&] { ready = true; });
    if (!runUntil([&] { return ready; }) || entered != kKeys) {
      state.SkipWithError("the query did not get ready with every key");
      break;
    }
    query->removeAllObservers();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
}

// The database alone under the live query: the same ranges observed for added children, until
// each has delivered its initial data.
void BM_DatabaseRangesTenThousandChildren(benchmark::State& state) {
  StoredPoints stored("bench-geo-database");
  using dz::database::DataEventType;
  for (auto _ : state) {
    size_t added = 0, loaded = 0;
    std::vector<std::pair<dz::database::DatabaseQuery, uint64_t>> observers;
    const auto ranges = GeoHashQuery::queriesForLocation(kCenter, kRadius);
    for (const GeoHashQuery& range : ranges) {
      const auto query = stored.reference->queryOrderedByChild("g")
                             .queryStartingAtValue(range.startValue())
                             .queryEndingAtValue(range.endValue());
      observers.emplace_back(
          query, query.observeEventType(DataEventType::ChildAdded, [&](const auto&) { ++added; }));
      query.observeSingleEventOfType(DataEventType::Value, [&](const auto&) { ++loaded; });
    }
    if (!runUntil([&] { return loaded == ranges.size(); }) || added != kKeys) {
      state.SkipWithError("the ranges did not load every key");
      break;
    }
    for (const auto& [query, handle] : observers) query.removeObserverWithHandle(handle);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
}

void BM_RedisGeoSearchTenThousandKeys(benchmark::State& state) {
  dz::testing::RedisServer server;
  dz::testing::RedisClient redis(server.port());
  const auto points = pointsInCircle();
  std::vector<std::string> add = {"GEOADD", "places"};
  for (size_t i = 0; i < points.size(); ++i) {
    add.push_back(RandomPoints::text(points[i].longitude));
    add.push_back(RandomPoints::text(points[i].latitude));
    add.push_back(RandomPoints::name(i));
  }
  redis.command(add);
  for (auto _ : state) {
    const auto found = redis.strings(
        {"GEOSEARCH", "places", "FROMLONLAT", RandomPoints::text(kCenter.longitude),
         RandomPoints::text(kCenter.latitude), "BYRADIUS", RandomPoints::text(kRadius), "m"});
    if (found.size() != kKeys) {
      state.SkipWithError("Redis found another number of keys");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
}

BENCHMARK(BM_QueryRangesPerCircle);
BENCHMARK(BM_NineSampleHashesFloor);
BENCHMARK(BM_LiveQueryTenThousandKeysToReady)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DatabaseRangesTenThousandChildren)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RedisGeoSearchTenThousandKeys)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
