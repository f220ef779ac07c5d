// The geo store and its live queries end to end: two clients of the development server, one
// watching an area and one moving keys, and Redis's answer for the same points.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <set>

#include "database/api/database.h"
#include "geo/circle_query.h"
#include "geo/geo_store.h"
#include "platform/exception.h"
#include "platform/resolver.h"
#include "tests/geo/query_events.h"
#include "tests/geo/random_points.h"
#include "tests/support/redis_client.h"
#include "tests/support/redis_server.h"
#include "tests/support/sandbox.h"
#include "tools/devserver/dev_server.h"

namespace dz::geo {
namespace {

using platform::Location;
using testing::waitOnMain;

class GeoLiveTest : public testing::QueryEventsTest {
 protected:
  void SetUp() override {
    server = devserver::DevServer::start();
    platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  }
  void TearDown() override {
    QueryEventsTest::TearDown();
    for (const auto& reference : clients) reference.database()->goOffline();
    server.reset();
  }
  // A store on a client of its own (its own repository and connection).
  std::shared_ptr<GeoStore> client() {
    static int counter = 0;
    const auto reference = database::DatabaseReference::fromURL(
        server->databaseUrl() + "/places",
        database::DatabaseConfig::configForName("geo-" + std::to_string(++counter)));
    clients.push_back(reference);
    return GeoStore::create(reference);
  }
  // Runs `write` with a completion and waits for it.
  static void await(const std::function<void(GeoStore::CompletionBlock)>& write) {
    bool done = false;
    ErrorPtr failure;
    write([&](ErrorPtr error) {
      failure = error;
      done = true;
    });
    ASSERT_TRUE(waitOnMain([&] { return done; }));
    ASSERT_FALSE(failure) << failure->localizedDescription();
  }
  // What an observer recorded, away from the first entries (ready and the initial keys).
  std::vector<std::string> since(size_t start) const {
    return std::vector<std::string>(events.begin() + static_cast<long>(start), events.end());
  }

  dz::testing::ScopedSandbox sandbox;
  std::unique_ptr<devserver::DevServer> server;
  std::vector<database::DatabaseReference> clients;
};

TEST_F(GeoLiveTest, StoreWritesReadsAndRemovesEntries) {
  auto store = client();
  await([&](auto done) { store->setLocation(Location(37.7853889, -122.4056973), "k", done); });
  // The server keeps arrays as children keyed by index.
  EXPECT_EQ(server->snapshot("/places/k"),
            boost::json::parse(R"({".priority": "9q8yywdgue", "g": "9q8yywdgue",
                                   "l": {"0": 37.7853889, "1": -122.4056973}})"));
  server->setJson("/places/bad", R"({"l": [1, 2, 3]})");

  std::vector<std::string> read;
  for (const char* key : {"k", "bad", "missing"}) {
    store->getLocationForKey(key, [&](const auto& location, ErrorPtr error) {
      read.push_back(text(location) + (error ? " " + std::to_string(error->code()) : ""));
    });
  }
  ASSERT_TRUE(waitOnMain([&] { return read.size() == 3; }));
  EXPECT_EQ(read, (std::vector<std::string>{"37.7854,-122.406", "- 1000", "-"}));

  await([&](auto done) { store->removeKey("k", done); });
  EXPECT_TRUE(server->snapshot("/places/k").is_null());

  EXPECT_EQ(store->dezuvuraRefForLocationKey("k").URL(), store->dezuvuraRef().URL() + "/k");
  EXPECT_THROW(store->dezuvuraRefForLocationKey("a/b"), Exception);
}

TEST_F(GeoLiveTest, KeysEnterMoveAndExitAsAnotherClientMovesThem) {
  auto watcher = client();
  auto mover = client();
  await([&](auto done) { mover->setLocation(Location(0.01, 0.01), "in", done); });
  await([&](auto done) { mover->setLocation(Location(0.095, 0), "near", done); });  // 10.5 km
  auto query = keep(watcher->queryAtLocation(Location(0, 0), 10));
  record(query);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(events, (std::vector<std::string>{"entered in 0.01,0.01", "ready"}));

  await([&](auto done) { mover->setLocation(Location(0.02, 0.01), "in", done); });
  await([&](auto done) { mover->setLocation(Location(0.02, 0.01), "in", done); });  // no event
  await([&](auto done) { mover->setLocation(Location(0.05, 0), "near", done); });
  await([&](auto done) { mover->removeKey("in", done); });
  await([&](auto done) { mover->setLocation(Location(40, 40), "near", done); });
  ASSERT_TRUE(waitForEvents(6));
  EXPECT_EQ(since(2), (std::vector<std::string>{"moved in 0.02,0.01", "entered near 0.05,0",
                                                "exited in -", "exited near 40,40"}));

  // A larger circle needs new ranges: ready again once they have loaded.
  await([&](auto done) { mover->setLocation(Location(0.3, 0.3), "far", done); });
  query->setRadius(60);
  ASSERT_TRUE(waitForEvents(8));
  EXPECT_EQ(since(6), (std::vector<std::string>{"entered far 0.3,0.3", "ready"}));

  // The last observer gone, nothing is listened to any more.
  const size_t listens = server->requestCount("q");
  query->removeAllObservers();
  ASSERT_TRUE(server->waitUntil([&] { return server->requestCount("n") >= listens; }));
}

TEST_F(GeoLiveTest, RefusedRangesAreReportedAndReadyStillComes) {
  server->databaseService().denyPath("/places", devserver::Access::kRead);
  auto query = keep(client()->queryAtLocation(Location(10, 10), 5));
  record(query);
  ASSERT_TRUE(waitOnMain([&] { return !events.empty() && events.back() == "ready"; }));
  EXPECT_EQ(events.front(), "cancel com.dezuvura");
}

// Points stored through the server, a live circle on one client, points moved by another: the
// keys the observers say are inside equal Redis's GEOSEARCH answer, away from the edge.
TEST_F(GeoLiveTest, LiveCircleAnswersMatchRedisAsPointsMove) {
  dz::testing::RandomPoints points(10000, 1717);
  dz::testing::RedisServer redisServer;
  dz::testing::RedisClient redis(redisServer.port());
  points.addTo(redis, "points");
  boost::json::object entries;
  for (size_t i = 0; i < points.size(); ++i) {
    const auto& p = points.at(i);
    const std::string hash = GeoHash(p).geoHashValue();
    entries[points.name(i)] = {{"g", hash}, {"l", {p.latitude, p.longitude}}};
  }
  server->set("/places", entries);

  auto watcher = client();
  auto mover = client();
  std::set<std::string> inside;
  auto query = keep(watcher->queryAtLocation(Location(points.at(0)), 1));
  query->observeEventType(GeoEventType::kKeyEntered,
                          [&](const auto& key, const auto&) { inside.insert(key); });
  query->observeEventType(GeoEventType::kKeyExited,
                          [&](const auto& key, const auto&) { inside.erase(key); });
  size_t readies = 0;
  query->observeReadyWithBlock([&] { ++readies; });

  auto redisAnswer = [&](platform::Coordinate2D center, double radius) {
    const auto answer =
        redis.strings({"GEOSEARCH", "points", "FROMLONLAT", points.text(center.longitude),
                       points.text(center.latitude), "BYRADIUS", points.text(radius), "m"});
    return std::set<std::string>(answer.begin(), answer.end());
  };
  // Both sides without the points within a metre of the edge.
  auto awayFromEdge = [&](std::set<std::string> keys, platform::Coordinate2D center,
                          double radius) {
    for (size_t i = 0; i < points.size(); ++i) {
      if (std::abs(Location(points.at(i)).distanceFrom(Location(center)) - radius) <= 1) {
        keys.erase(points.name(i));
      }
    }
    return keys;
  };

  for (int round = 0; round < 4; ++round) {
    const auto [center, radius] = points.randomCircle();
    query->setCenter(Location(center));
    query->setRadius(radius / 1000);
    const size_t before = readies;
    ASSERT_TRUE(waitOnMain([&] { return readies > before; }, std::chrono::seconds(60)));
    // The first ready may be that of the center's change alone; the keys settle after the
    // radius's.
    ASSERT_TRUE(waitOnMain(
        [&] {
          return awayFromEdge(inside, center, radius) ==
                 awayFromEdge(redisAnswer(center, radius), center, radius);
        },
        std::chrono::seconds(30)));

    // Another client moves a few hundred points, Redis follows, and the observers keep up.
    std::vector<std::string> arguments = {"GEOADD", "points"};
    size_t pending = 0;
    for (size_t i = round; i < points.size(); i += 25) {
      points.move(i);
      arguments.push_back(points.text(points.at(i).longitude));
      arguments.push_back(points.text(points.at(i).latitude));
      arguments.push_back(points.name(i));
      ++pending;
      mover->setLocation(Location(points.at(i)), points.name(i), [&](ErrorPtr) { --pending; });
    }
    redis.command(arguments);
    ASSERT_TRUE(waitOnMain([&] { return pending == 0; }, std::chrono::seconds(60)));
    const auto expected = awayFromEdge(redisAnswer(center, radius), center, radius);
    EXPECT_TRUE(waitOnMain([&] { return awayFromEdge(inside, center, radius) == expected; },
                           std::chrono::seconds(30)))
        << "round " << round << ": " << inside.size() << " inside, Redis " << expected.size();
  }
}

}  // namespace
}  // namespace dz::geo
