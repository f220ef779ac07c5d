// A test fixture base that records what live query observers hear, in order, as text lines
// ("entered k 1,2", "moved k 3,4", "exited k -", "ready", "cancel <domain>"), on the main queue
// that the test's thread pumps. Queries kept through keep() lose their observers when the test
// ends, so none calls into a finished test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "geo/query.h"
#include "platform/run_loop.h"

namespace dz::geo::testing {

inline bool waitOnMain(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return platform::RunLoop::main().runUntil(condition, timeout);
}

class QueryEventsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& query : queries) query->removeAllObservers();
  }
  template <class T>
  std::shared_ptr<T> keep(std::shared_ptr<T> query) {
    queries.push_back(query);
    return query;
  }
  void record(const std::shared_ptr<Query>& query) {
    for (auto [type, name] : {std::pair{GeoEventType::kKeyEntered, "entered"},
                              {GeoEventType::kKeyExited, "exited"},
                              {GeoEventType::kKeyMoved, "moved"}}) {
      query->observeEventType(type, [this, name](const std::string& key, const auto& location) {
        events.push_back(std::string(name) + " " + key + " " + text(location));
      });
    }
    query->observeReadyWithBlock(
        [this] { events.push_back("ready"); },
        [this](const ErrorPtr& error) { events.push_back("cancel " + error->domain()); });
  }
  static std::string text(const std::optional<platform::Location>& location) {
    if (!location) return "-";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g,%g", location->coordinate().latitude,
                  location->coordinate().longitude);
    return buffer;
  }
  bool waitForEvents(size_t count) {
    return waitOnMain([&] { return events.size() >= count; });
  }

  std::vector<std::string> events;
  std::vector<std::shared_ptr<Query>> queries;
};

}  // namespace dz::geo::testing
