// GeoStore: positions filed under keys in one location of the database, each child holding
// {"g": its 10-character geo hash, "l": [latitude, longitude]} with the hash as priority, and the
// live circle and region queries over them. Thread-safe; every callback of the store and of its
// queries is delivered on callbackQueue() (the main queue unless set). Owned by std::shared_ptr;
// its queries hold it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "database/api/database_reference.h"
#include "geo/geo_database.h"
#include "geo/geo_hash_query.h"
#include "platform/dispatch_queue.h"
#include "platform/error.h"
#include "platform/location.h"

namespace dz::geo {

class CircleQuery;
class RegionQuery;

inline constexpr char kGeoStoreErrorDomain[] = "com.dezuvura.geostore";
inline constexpr int kGeoStoreParseErrorCode = 1000;

class GeoStore : public std::enable_shared_from_this<GeoStore> {
 public:
  using CompletionBlock = std::function<void(ErrorPtr error)>;
  using LocationCallback =
      std::function<void(std::optional<platform::Location> location, ErrorPtr error)>;

  // A store whose entries are the children of `reference`. A reference without a database
  // throws dz::Exception (invalid argument) "Dezuvura was nil!".
  static std::shared_ptr<GeoStore> create(const database::DatabaseReference& reference);
  // The same over any implementation of the database seam; null throws as above.
  static std::shared_ptr<GeoStore> create(std::shared_ptr<GeoDatabase> database);

  GeoStore(const GeoStore&) = delete;
  GeoStore& operator=(const GeoStore&) = delete;

  // Files `location` under `key`. A coordinate off the map, or a key holding one of .#$][/,
  // throws dz::Exception (invalid argument) before anything is written. The completion gets the
  // database's error or none.
  void setLocation(const platform::Location& location, const std::string& key,
                   CompletionBlock completion = nullptr);
  // Removes the entry of `key` (same key check).
  void removeKey(const std::string& key, CompletionBlock completion = nullptr);
  // Reads `key` once: (none, none) when absent, (location, none) when it parses, (none, error
  // 1000) when it does not, (none, the database's error) when the read is refused. A null
  // callback throws dz::Exception (invalid argument).
  void getLocationForKey(const std::string& key, LocationCallback callback);

  // The location of a stored entry: a map whose "l" holds exactly two numbers (not booleans)
  // that form a coordinate on the map; none otherwise.
  static std::optional<platform::Location> locationFromValue(const Value& value);

  // A live query of the entries within `radiusKm` kilometres of `center`, not started until its
  // first observer. A center off the map or a negative or NaN radius throws dz::Exception.
  std::shared_ptr<CircleQuery> queryAtLocation(const platform::Location& center, double radiusKm);
  // The same for a region; negative or NaN spans or a center that is not finite throw.
  std::shared_ptr<RegionQuery> queryWithRegion(const Region& region);

  platform::DispatchQueuePtr callbackQueue() const;
  void setCallbackQueue(platform::DispatchQueuePtr queue);

  const std::shared_ptr<GeoDatabase>& database() const { return database_; }
  // The reference whose children are the entries. A store made over another database seam has
  // none and throws dz::Exception (internal inconsistency).
  const database::DatabaseReference& dezuvuraRef() const;
  // The child reference of `key`, after checkKey().
  database::DatabaseReference dezuvuraRefForLocationKey(const std::string& key) const;
  // Throws dz::Exception (invalid argument) for a key holding one of .#$][/.
  static void checkKey(std::string_view key);

 private:
  GeoStore(std::shared_ptr<GeoDatabase> database,
           std::optional<database::DatabaseReference> reference);
  void write(const std::string& key, const Value& value, const Value& priority,
             CompletionBlock completion);

  const std::shared_ptr<GeoDatabase> database_;
  const std::optional<database::DatabaseReference> dezuvuraRef_;
  mutable std::mutex mutex_;
  platform::DispatchQueuePtr callbackQueue_;
};

}  // namespace dz::geo
