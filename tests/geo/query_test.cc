// Live query bookkeeping over a scripted database seam: event choice, ready, replay, removal, and
// the faults of timing that a real server cannot be made to show on demand.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/logger.h"
#include "geo/circle_query.h"
#include "geo/geo_store.h"
#include "geo/region_query.h"
#include "platform/exception.h"
#include "platform/run_loop.h"
#include "tests/geo/fake_geo_database.h"
#include "tests/geo/query_events.h"
#include "tests/support/capture_stderr.h"

namespace dz::geo {
namespace {

using platform::Location;

using testing::waitOnMain;

class QueryTest : public testing::QueryEventsTest {
 protected:
  // The sentinel key flushes everything raised before it.
  void flushWith(const std::string& sentinel, double latitude = 0, double longitude = 0) {
    database->put(sentinel, latitude, longitude);
    ASSERT_TRUE(waitOnMain(
        [&] { return !events.empty() && events.back().starts_with("entered " + sentinel + " "); }));
    events.pop_back();
  }
  // Waits until the query listens to all `count` ranges (it makes them one after another).
  void waitForRanges(size_t count) {
    ASSERT_TRUE(waitOnMain([&] { return database->liveRanges().size() == count; }));
  }
  // The ranges of the circle most tests watch: 10 km around (0, 0).
  static size_t circleRanges(platform::Coordinate2D center = {0, 0}) {
    return GeoHashQuery::queriesForLocation(center, 10000).size();
  }
  void startAndLoad(const std::shared_ptr<Query>& query, size_t ranges = circleRanges()) {
    record(query);
    waitForRanges(ranges);
    database->loadAll();
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events, std::vector<std::string>{"ready"});
    events.clear();
  }

  std::shared_ptr<testing::FakeGeoDatabase> database = std::make_shared<testing::FakeGeoDatabase>();
  std::shared_ptr<GeoStore> store = GeoStore::create(database);
};

TEST_F(QueryTest, ACriteriaChangeWithoutNewRangesIsReadyAtOnce) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  database->put("a", 0.01, 0.01);
  ASSERT_TRUE(GeoHashQuery::queriesForLocation({0.001, 0}, 10000) ==
              GeoHashQuery::queriesForLocation({0, 0}, 10000));
  query->setCenter(Location(0.001, 0));
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(events, (std::vector<std::string>{"entered a 0.01,0.01", "ready"}));
  EXPECT_EQ(database->ranges().size(), circleRanges());
}

TEST_F(QueryTest, RemovedEntriesExitUnlessAnotherRangeHoldsThem) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  database->put("a", 0.01, 0.01);
  database->put("b", -0.01, -0.01);
  ASSERT_TRUE(waitForEvents(2));
  events.clear();
  const auto range = database->liveRanges()[0];
  range.callbacks.removed("a");
  range.callbacks.removed("b");
  std::vector<testing::FakeGeoDatabase::Read> reads;
  ASSERT_TRUE(waitOnMain([&] {
    for (auto& read : database->takeReads()) reads.push_back(std::move(read));
    return reads.size() == 2;
  }));
  for (auto& read : reads) {
    // "a" was deleted; "b" moved within the query, into another of its ranges.
    read.callback(read.key == "a" ? Value() : testing::FakeGeoDatabase::entry(0.02, -0.02),
                  nullptr);
  }
  flushWith("s");
  EXPECT_EQ(events, std::vector<std::string>{"exited a -"});
}

TEST_F(QueryTest, NewEnteredObserverHearsKeysAlreadyInside) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  database->put("a", 0.01, 0.01);
  database->put("far", 0.095, 0.0);
  ASSERT_TRUE(waitForEvents(1));
  std::vector<std::string> replayed;
  query->observeEventType(GeoEventType::kKeyEntered,
                          [&](const std::string& key, const auto&) { replayed.push_back(key); });
  database->put("s", 0, 0);
  ASSERT_TRUE(waitOnMain([&] { return replayed.size() == 2; }));
  EXPECT_EQ(replayed, (std::vector<std::string>{"a", "s"}));
}

TEST_F(QueryTest, EventsCarryTheLocationOfTheirOwnTime) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  // All four changes are raised before the main queue delivers the first event.
  database->put("a", 0.01, 0.01);
  database->put("a", 0.02, 0.02, true);
  database->put("a", 0.091, 0, true);  // out of the circle, still in its ranges
  database->put("a", 0.092, 0, true);
  flushWith("s");
  EXPECT_EQ(events, (std::vector<std::string>{"entered a 0.01,0.01", "moved a 0.02,0.02",
                                              "exited a 0.091,0"}));
}

TEST_F(QueryTest, RemovedObserversHearNothingAlreadyQueued) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  std::vector<std::string> heard;
  Query::Handle handle = 0;
  handle =
      query->observeEventType(GeoEventType::kKeyEntered, [&](const std::string& key, const auto&) {
        heard.push_back(key);
        query->removeObserverWithDezuvuraHandle(handle);
      });
  // Both events are raised before the main queue delivers the first.
  database->put("a", 0.01, 0.01);
  database->put("b", 0.02, 0.02);
  flushWith("s");
  EXPECT_EQ(heard, std::vector<std::string>{"a"});
}

TEST_F(QueryTest, LateAndRefusedRangesDoNotStallOrFalselyFireReady) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  record(query);
  waitForRanges(circleRanges());
  const auto first = database->liveRanges();
  query->setCenter(Location(40, 40));
  ASSERT_TRUE(waitOnMain([&] {
    return database->ranges().size() == first.size() + circleRanges({40, 40});
  }));
  const auto second = database->liveRanges();
  // A refused range is reported, and ready no longer waits for it. (The center's range stays, to
  // carry the sentinel below.)
  const GeoHash center({40, 40});
  bool refused = false;
  for (const auto& range : second) {
    if (!refused && !range.range.containsGeoHash(center)) {
      range.callbacks.cancelled(std::make_shared<Error>("com.dezuvura", 1, "permission_denied"));
      refused = true;
    } else {
      range.callbacks.loaded();
    }
  }
  ASSERT_TRUE(refused);
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_EQ(events, (std::vector<std::string>{"cancel com.dezuvura", "ready"}));
  events.clear();

  // The first circle's initial data arrives after its ranges were dropped: no second ready.
  for (const auto& range : first) range.callbacks.loaded();
  flushWith("s", 40, 40);
  EXPECT_TRUE(events.empty());

  // Back to the first circle: the old listens' late replies do not count for the new ones.
  query->setCenter(Location(0, 0));
  ASSERT_TRUE(
      waitOnMain([&] { return database->ranges().size() == first.size() * 2 + second.size(); }));
  for (const auto& range : first) range.callbacks.loaded();
  database->put("t", 0, 0);
  ASSERT_TRUE(waitForEvents(2));  // "t" enters; the replies of the new listens are awaited
  EXPECT_EQ(events, (std::vector<std::string>{"exited s 40,40", "entered t 0,0"}));
  events.clear();
  database->loadAll();
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_EQ(events, std::vector<std::string>{"ready"});
}

TEST_F(QueryTest, UnparsableLocationsAreSkippedWithALogLine) {
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  startAndLoad(query);
  const auto range = database->liveRanges()[0];
  dz::testing::StderrCapture capture(core::flushLog);
  for (const char* json : {R"({"l": [true, false]})", R"({"l": [1, 2, 3]})", R"({"l": ["x", 2]})",
                           R"({"l": [95, 0]})", R"({"g": "7zzzzzzzzz"})"}) {
    range.callbacks.added("bad", *Value::parseJson(json));
  }
  flushWith("s");
  EXPECT_TRUE(events.empty());
  EXPECT_NE(capture.text().find("unable to parse location value {\"l\":[true,false]}"),
            std::string::npos);
}

TEST_F(QueryTest, RegionsHoldBothSidesOfTheAntimeridian) {
  const Region region{{0, 180}, 1, 1};
  auto query = keep(store->queryWithRegion(region));
  startAndLoad(query, GeoHashQuery::queriesForRegion(region).size());
  database->put("east", 0.1, 179.9);
  database->put("west", 0.1, -179.9);
  database->put("outside", 0.1, -179.0);
  flushWith("s", 0, 179.95);
  EXPECT_EQ(events,
            (std::vector<std::string>{"entered east 0.1,179.9", "entered west 0.1,-179.9"}));
}

TEST_F(QueryTest, MisuseThrowsOnTheCallersThread) {
  EXPECT_THROW(GeoStore::create(nullptr), Exception);
  EXPECT_THROW(store->queryAtLocation(Location(91, 0), 10), Exception);
  EXPECT_THROW(store->queryAtLocation(Location(0, 0), -1), Exception);
  EXPECT_THROW(store->queryAtLocation(Location(0, 0), std::nan("")), Exception);
  EXPECT_THROW(store->queryWithRegion({{0, 0}, -1, 1}), Exception);
  auto query = keep(store->queryAtLocation(Location(0, 0), 10));
  EXPECT_THROW(query->setRadius(std::nan("")), Exception);
  EXPECT_THROW(query->observeEventType(static_cast<GeoEventType>(3), [](auto&, auto&) {}),
               Exception);
  EXPECT_THROW(query->observeEventType(GeoEventType::kKeyEntered, nullptr), Exception);
  EXPECT_THROW(store->setLocation(Location(0, 0), "a.b"), Exception);
  EXPECT_THROW(store->setLocation(Location(91, 0), "a"), Exception);
  EXPECT_THROW(store->getLocationForKey("a", nullptr), Exception);
  EXPECT_TRUE(database->writes().empty());
}

}  // namespace
}  // namespace dz::geo
