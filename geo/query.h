// Query: a live geo query over a geo store. It listens to the few geo-hash ranges that cover its
// area, keeps every key seen in them, and tells observers when a key enters the area, leaves it,
// or moves within it, and when the area's initial data has all arrived (ready).
//
// Thread-safe. Its state is owned by a private serial queue: database callbacks, criteria changes
// and observer changes are all posted there, and no lock is held while calling out. Every user
// callback is delivered on the store's callback queue and never reaches an observer once
// removeObserverWithDezuvuraHandle / removeAllObservers has returned. The query starts with its
// first observer, stays alive and listening while any observer remains (even when the caller lets
// go of it), and forgets every key when the last one goes. Subclasses: CircleQuery, RegionQuery.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "geo/geo_database.h"
#include "geo/geo_hash_query.h"
#include "platform/dispatch_queue.h"
#include "platform/location.h"

namespace dz::geo {

class GeoStore;

enum class GeoEventType { kKeyEntered = 0, kKeyExited = 1, kKeyMoved = 2 };

class Query : public std::enable_shared_from_this<Query> {
 public:
  using Handle = uint64_t;
  // (key, location): the location decided when the event happened; none only for a key whose
  // entry was deleted.
  using ResultBlock = std::function<void(const std::string& key,
                                         const std::optional<platform::Location>& location)>;
  using ReadyBlock = std::function<void()>;
  using CancelBlock = std::function<void(const ErrorPtr& error)>;

  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  virtual ~Query();

  // Registers `block` for one event type and starts the query if needed. A new key-entered
  // observer first hears every key inside the area. A null block or a type other than 0..2
  // throws dz::Exception (invalid argument).
  Handle observeEventType(GeoEventType type, ResultBlock block);
  // Registers a ready observer, called each time the current ranges have all delivered their
  // initial data (at once when they have). A range the database refuses counts as delivered and
  // is reported to `cancel` with the database's error. A null block throws dz::Exception.
  Handle observeReadyWithBlock(ReadyBlock block, CancelBlock cancel = nullptr);
  // Removes one observer (unknown handles are ignored); the last one stops the query.
  void removeObserverWithDezuvuraHandle(Handle handle);
  void removeAllObservers();

  const std::shared_ptr<GeoStore>& geoStore() const { return geoStore_; }

 protected:
  explicit Query(std::shared_ptr<GeoStore> store);

  // On the query's queue: take the criteria last set as the ones in force.
  virtual void applyCriteria() = 0;
  // On the query's queue, under the criteria in force.
  virtual bool locationIsInQuery(const platform::Location& location) const = 0;
  virtual GeoHashQuerySet queriesForCurrentCriteria() const = 0;
  // Called by setters after storing new criteria: moves a started query to them.
  void searchCriteriaDidChange();

 private:
  struct LocationInfo {
    bool isInQuery = false;
    platform::Location location;
    GeoHash geoHash;
  };
  struct RangeListen {
    std::unique_ptr<GeoDatabase::Listen> listen;
    uint64_t generation = 0;
  };
  class Observers;

  // All below run on queue_.
  void start(GeoEventType type, Handle handle, bool ready);
  void updateQueries();
  void listenTo(const GeoHashQuery& range);
  bool isCurrent(const GeoHashQuery& range, uint64_t generation) const;
  void updateLocationInfo(const std::string& key, const platform::Location& location);
  void childAdded(const std::string& key, const Value& value);
  void childRemoved(const std::string& key);
  void removalRead(const std::string& key, const Value& value, uint64_t session);
  void rangeLoaded(const GeoHashQuery& range);
  void rangeCancelled(const GeoHashQuery& range, const ErrorPtr& error);
  bool queriesContainGeoHash(const GeoHash& hash) const;
  void checkAndFireReadyEvent();
  void fire(const std::set<Handle>& handles, const std::string& key,
            const std::optional<platform::Location>& location);
  void forget(Handle handle);
  void reset();
  size_t totalObserverCount() const;
  // Runs `task` on queue_ while the query lives.
  void post(std::function<void(Query&)> task);

  const std::shared_ptr<GeoStore> geoStore_;
  const platform::DispatchQueuePtr queue_;
  // The callbacks by handle; shared with deliveries so they look up the observer when they run.
  const std::shared_ptr<Observers> observers_;

  std::map<std::string, LocationInfo> locationInfos_;
  std::optional<GeoHashQuerySet> queries_;
  std::map<GeoHashQuery, RangeListen> listens_;
  GeoHashQuerySet outstandingQueries_;
  std::set<Handle> keyEnteredObservers_, keyExitedObservers_, keyMovedObservers_, readyObservers_;
  // Tags each range's listen, so that late callbacks of a range no longer listened to (or listened
  // to again since) are recognised and dropped.
  uint64_t rangeGeneration_ = 0;
  // Counts resets, so that a removal read from before one finds nothing to do.
  uint64_t session_ = 0;
  // Keeps the query alive while it listens.
  std::shared_ptr<Query> keepAlive_;
};

}  // namespace dz::geo
