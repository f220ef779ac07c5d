// Any database value as a geo store entry ({"g": hash, "l": [latitude, longitude]}), read as the
// store and its live queries read it. A location read is on the map; the store files it so that
// it reads back exactly, under its own hash; and a circle or region that holds it asks for a range
// that holds its hash (a query never misses an entry in its area).
//
// The circle's center comes from the entry's "c" ([latitude, longitude], the location itself
// when absent), its radius in metres from "r" (default 1 km) and the region's spans in degrees
// from "s"; the store ignores those members.
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "fuzz/support.h"
#include "geo/geo_store.h"
#include "platform/run_loop.h"

namespace {

using dz::Value;
using dz::database::DataSnapshot;
using dz::database::IndexedNode;
using dz::database::NodePtr;
using dz::database::Path;
using dz::database::SnapshotUtilities;
using dz::fuzz::require;
using dz::geo::GeoHash;
using dz::geo::GeoHashQuery;
using dz::geo::GeoHashQuerySet;
using dz::platform::Coordinate2D;
using dz::platform::Location;

constexpr double kDefaultRadiusMeters = 1000;
// Rounding in the distance is no miss.
constexpr double kRadiusSlack = 1e-9;

// The store's database: entries by key, as the database hands them out (values of snapshots).
class Entries : public dz::geo::GeoDatabase {
 public:
  void write(const std::string& key, const Value& value, const Value& priority,
             WriteCompletion completion) override {
    // Stored as the database stores it, and read back from its export text (as the cache and the
    // wire carry it).
    const NodePtr node = SnapshotUtilities::nodeFrom(value, priority);
    const NodePtr stored =
        SnapshotUtilities::tryNodeFromJsonText(SnapshotUtilities::toJsonText(*node, true));
    require(stored && stored->equals(*node), "an entry does not read back from its text");
    require(stored->getPriority()->equals(*SnapshotUtilities::nodeFrom(priority)),
            "an entry lost its priority");
    entries_[key] = DataSnapshot(nullptr, Path("/geo/" + key), IndexedNode(stored)).value();
    completion(nullptr);
  }
  void read(const std::string& key, ReadCallback callback) override {
    auto found = entries_.find(key);
    callback(found == entries_.end() ? Value() : found->second, nullptr);
  }
  std::unique_ptr<Listen> listen(const GeoHashQuery&, RangeCallbacks) override { return nullptr; }

  void put(const std::string& key, Value value) { entries_[key] = std::move(value); }
  const Value& entry(const std::string& key) { return entries_[key]; }

 private:
  std::map<std::string, Value> entries_;
};

// The store's answer for `key`: the location, none for no entry; an entry that does not parse
// must say so with the store's own error.
std::optional<Location> readLocation(dz::geo::GeoStore& store, const std::string& key,
                                     bool present) {
  bool answered = false;
  std::optional<Location> read;
  store.getLocationForKey(key, [&](std::optional<Location> location, dz::ErrorPtr error) {
    answered = true;
    read = location;
    require(!location || !error, "a location read with an error");
    require(location || !present || (error && error->code() == dz::geo::kGeoStoreParseErrorCode),
            "an entry neither read nor refused");
    require(present || (!location && !error), "a missing entry read as something");
  });
  while (dz::platform::RunLoop::main().runOnce(dz::platform::Duration::zero())) {
  }
  require(answered, "a read never answered");
  return read;
}

std::optional<Coordinate2D> coordinate(const Value& pair) {
  const Value::Array* array = pair.getArray();
  if (!array || array->size() != 2 || !(*array)[0].isNumber() || !(*array)[1].isNumber()) {
    return std::nullopt;
  }
  return Coordinate2D{(*array)[0].asDouble(), (*array)[1].asDouble()};
}

bool covers(const GeoHashQuerySet& queries, const GeoHash& hash) {
  for (const GeoHashQuery& query : queries) {
    if (query.containsGeoHash(hash)) return true;
  }
  return false;
}

void checkQueriesFind(const Location& location, const Value& entry) {
  const GeoHash hash(location.coordinate());
  std::optional<Coordinate2D> center = coordinate(entry["c"]);
  if (!center || !dz::platform::isValidCoordinate(*center)) center = location.coordinate();
  const double radius = entry["r"].getDouble().value_or(kDefaultRadiusMeters);
  if (radius >= 0 && std::isfinite(radius) &&
      location.distanceFrom(Location(*center)) <= radius * (1 - kRadiusSlack)) {
    require(covers(GeoHashQuery::queriesForLocation(*center, radius), hash),
            "a circle query misses an entry inside it");
  }
  std::optional<Coordinate2D> spans = coordinate(entry["s"]);
  if (!spans || !(spans->latitude >= 0) || !(spans->longitude >= 0) ||
      !std::isfinite(spans->latitude) || !std::isfinite(spans->longitude)) {
    return;
  }
  const double latitudeOff = std::fabs(location.coordinate().latitude - center->latitude);
  double longitudeOff = std::fabs(location.coordinate().longitude - center->longitude);
  longitudeOff = std::min(longitudeOff, 360 - longitudeOff);
  if (latitudeOff <= spans->latitude / 2 * (1 - kRadiusSlack) &&
      longitudeOff <= spans->longitude / 2 * (1 - kRadiusSlack)) {
    require(
        covers(GeoHashQuery::queriesForRegion({*center, spans->latitude, spans->longitude}), hash),
        "a region query misses an entry inside it");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const NodePtr node = SnapshotUtilities::tryNodeFromJsonText(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!node) return 0;
  const Value entry = DataSnapshot(nullptr, Path("/geo/k"), IndexedNode(node)).value();
  auto entries = std::make_shared<Entries>();
  entries->put("k", entry);
  auto store = dz::geo::GeoStore::create(entries);
  const std::optional<Location> location = readLocation(*store, "k", !entry.isNull());
  require(location == dz::geo::GeoStore::locationFromValue(entry),
          "the store reads an entry otherwise than its queries");
  if (!location) return 0;
  require(dz::platform::isValidCoordinate(location->coordinate()), "a location off the map");

  store->setLocation(*location, "filed",
                     [](dz::ErrorPtr error) { require(!error, "filing a location failed"); });
  require(readLocation(*store, "filed", true) == location, "a filed location reads back otherwise");
  const std::string* hash = entries->entry("filed")["g"].getString();
  require(hash && *hash == GeoHash(location->coordinate()).geoHashValue() &&
              GeoHash::isValidGeoHash(*hash),
          "a location is filed under another hash");
  checkQueriesFind(*location, entry);
  return 0;
}
