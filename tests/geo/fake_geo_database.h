// FakeGeoDatabase: the geo store's database seam scripted by a test, for the timings a real
// server cannot be made to show on demand (late initial replies, refusals, removals racing
// deliveries). Listens, reads and writes are recorded; the test raises their callbacks.
#pragma once

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "geo/geo_database.h"

namespace dz::geo::testing {

class FakeGeoDatabase : public GeoDatabase {
 public:
  struct Range {
    GeoHashQuery range;
    RangeCallbacks callbacks;
    std::shared_ptr<std::atomic<bool>> live;
  };
  struct Read {
    std::string key;
    ReadCallback callback;
  };

  void write(const std::string& key, const Value& value, const Value& priority,
             WriteCompletion completion) override {
    std::lock_guard lock(mutex_);
    writes_.push_back({key, value, priority});
    if (completion) completion(nullptr);
  }
  void read(const std::string& key, ReadCallback callback) override {
    std::lock_guard lock(mutex_);
    reads_.push_back({key, std::move(callback)});
  }
  std::unique_ptr<Listen> listen(const GeoHashQuery& range, RangeCallbacks callbacks) override {
    std::lock_guard lock(mutex_);
    auto live = std::make_shared<std::atomic<bool>>(true);
    ranges_.push_back({range, std::move(callbacks), live});
    struct Stop : Listen {
      explicit Stop(std::shared_ptr<std::atomic<bool>> live) : live(std::move(live)) {}
      ~Stop() override { *live = false; }
      std::shared_ptr<std::atomic<bool>> live;
    };
    return std::make_unique<Stop>(live);
  }

  // Every listen made so far, stopped ones included.
  std::vector<Range> ranges() const {
    std::lock_guard lock(mutex_);
    return ranges_;
  }
  std::vector<Range> liveRanges() const {
    std::vector<Range> live = ranges();
    std::erase_if(live, [](const Range& r) { return !*r.live; });
    return live;
  }
  std::vector<Read> takeReads() {
    std::lock_guard lock(mutex_);
    return std::exchange(reads_, {});
  }
  std::vector<std::array<Value, 3>> writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }

  // The entry the store writes for a position.
  static Value entry(double latitude, double longitude) {
    return Value(Value::Map{{"g", GeoHash({latitude, longitude}).geoHashValue()},
                            {"l", Value::Array{latitude, longitude}}});
  }
  // Raises `added` (or `changed`) on every live range holding the position.
  void put(const std::string& key, double latitude, double longitude, bool changed = false) {
    const GeoHash hash({latitude, longitude});
    for (const Range& r : liveRanges()) {
      if (!r.range.containsGeoHash(hash)) continue;
      (changed ? r.callbacks.changed : r.callbacks.added)(key, entry(latitude, longitude));
    }
  }
  void loadAll() {
    for (const Range& r : liveRanges()) r.callbacks.loaded();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Range> ranges_;
  std::vector<Read> reads_;
  std::vector<std::array<Value, 3>> writes_;
};

}  // namespace dz::geo::testing
