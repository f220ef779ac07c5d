#include "geo/query.h"

#include <mutex>

#include "core/logger.h"
#include "geo/geo_store.h"
#include "platform/exception.h"

namespace dz::geo {
namespace {

constexpr char kLogTag[] = "[Dezuvura/GeoStore]";
constexpr char kUnparsableCode[] = "I-GEO001001";
constexpr char kRangeRefusedCode[] = "I-GEO001002";

}  // namespace

// The observers' callbacks by handle. Registration and removal happen at once on the caller's
// thread, so a delivery that runs later finds a removed observer gone.
class Query::Observers {
 public:
  struct Entry {
    ResultBlock result;
    ReadyBlock ready;
    CancelBlock cancel;
  };

  Handle add(Entry entry) {
    std::lock_guard lock(mutex_);
    const Handle handle = next_++;
    entries_.emplace(handle, std::move(entry));
    return handle;
  }
  bool remove(Handle handle) {
    std::lock_guard lock(mutex_);
    return entries_.erase(handle) > 0;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }
  std::optional<Entry> find(Handle handle) const {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(handle);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

 private:
  mutable std::mutex mutex_;
  Handle next_ = 1;
  std::map<Handle, Entry> entries_;
};

Query::Query(std::shared_ptr<GeoStore> store)
    : geoStore_(std::move(store)),
      queue_(platform::DispatchQueue::create("com.dezuvura.geo.query")),
      observers_(std::make_shared<Observers>()) {}

Query::~Query() = default;

Query::Handle Query::observeEventType(GeoEventType type, ResultBlock block) {
  if (!block) throw Exception(kInvalidArgumentException, "Block is not allowed to be nil!");
  if (type != GeoEventType::kKeyEntered && type != GeoEventType::kKeyExited &&
      type != GeoEventType::kKeyMoved) {
    throw Exception(kInvalidArgumentException, "Event type was not a GSEventType!");
  }
  const Handle handle = observers_->add({std::move(block), nullptr, nullptr});
  post([type, handle](Query& query) { query.start(type, handle, false); });
  return handle;
}

Query::Handle Query::observeReadyWithBlock(ReadyBlock block, CancelBlock cancel) {
  if (!block) throw Exception(kInvalidArgumentException, "Block is not allowed to be nil!");
  const Handle handle = observers_->add({nullptr, std::move(block), std::move(cancel)});
  post([handle](Query& query) { query.start(GeoEventType::kKeyEntered, handle, true); });
  return handle;
}

void Query::removeObserverWithDezuvuraHandle(Handle handle) {
  if (observers_->remove(handle)) post([handle](Query& query) { query.forget(handle); });
}

void Query::removeAllObservers() {
  observers_->clear();
  post([](Query& query) { query.reset(); });
}

void Query::searchCriteriaDidChange() {
  post([](Query& query) {
    if (query.queries_) query.updateQueries();
  });
}

void Query::post(std::function<void(Query&)> task) {
  queue_->async([self = shared_from_this(), task = std::move(task)] { task(*self); });
}

// Database callbacks hold the query weakly: a query that stopped listening may go away.
static void postWeak(const std::weak_ptr<Query>& weak, const platform::DispatchQueuePtr& queue,
                     std::function<void(Query&)> task) {
  queue->async([weak, task = std::move(task)] {
    if (auto self = weak.lock()) task(*self);
  });
}

void Query::start(GeoEventType type, Handle handle, bool ready) {
  const auto entry = observers_->find(handle);
  if (!entry) return;  // removed before it got here
  if (!queries_) {
    keepAlive_ = shared_from_this();
    updateQueries();
  }
  const platform::DispatchQueuePtr callbackQueue = geoStore_->callbackQueue();
  if (ready) {
    if (outstandingQueries_.empty()) {
      callbackQueue->async([observers = observers_, handle] {
        if (auto entry = observers->find(handle)) entry->ready();
      });
    }
    readyObservers_.insert(handle);
    return;
  }
  switch (type) {
    case GeoEventType::kKeyEntered: {
      // The replay works on a copy of the keys, so it runs without touching the query's state.
      std::vector<std::pair<std::string, platform::Location>> inside;
      for (const auto& [key, info] : locationInfos_) {
        if (info.isInQuery) inside.emplace_back(key, info.location);
      }
      if (!inside.empty()) {
        callbackQueue->async([observers = observers_, handle, inside = std::move(inside)] {
          for (const auto& [key, location] : inside) {
            const auto entry = observers->find(handle);
            if (!entry) return;
            entry->result(key, location);
          }
        });
      }
      keyEnteredObservers_.insert(handle);
      break;
    }
    case GeoEventType::kKeyExited:
      keyExitedObservers_.insert(handle);
      break;
    case GeoEventType::kKeyMoved:
      keyMovedObservers_.insert(handle);
      break;
  }
}

void Query::updateQueries() {
  applyCriteria();
  const GeoHashQuerySet next = queriesForCurrentCriteria();
  const GeoHashQuerySet previous = queries_.value_or(GeoHashQuerySet{});
  for (const GeoHashQuery& range : previous) {
    if (next.count(range)) continue;
    listens_.erase(range);
    outstandingQueries_.erase(range);
  }
  for (const GeoHashQuery& range : next) {
    if (previous.count(range)) continue;
    outstandingQueries_.insert(range);
    listenTo(range);
  }
  queries_ = next;

  std::vector<std::pair<std::string, platform::Location>> known;
  for (const auto& [key, info] : locationInfos_) known.emplace_back(key, info.location);
  for (const auto& [key, location] : known) updateLocationInfo(key, location);
  std::erase_if(locationInfos_,
                [this](const auto& item) { return !queriesContainGeoHash(item.second.geoHash); });
  checkAndFireReadyEvent();
}

void Query::listenTo(const GeoHashQuery& range) {
  const uint64_t generation = ++rangeGeneration_;
  const std::weak_ptr<Query> weak = weak_from_this();
  const platform::DispatchQueuePtr queue = queue_;
  // Every callback first checks that this listen is still the range's current one.
  auto guarded = [weak, queue, range, generation](std::function<void(Query&)> task) {
    postWeak(weak, queue, [range, generation, task = std::move(task)](Query& query) {
      if (query.isCurrent(range, generation)) task(query);
    });
  };
  GeoDatabase::RangeCallbacks callbacks;
  callbacks.added = [guarded](const std::string& key, const Value& value) {
    guarded([key, value](Query& query) { query.childAdded(key, value); });
  };
  callbacks.changed = callbacks.added;
  callbacks.removed = [guarded](const std::string& key) {
    guarded([key](Query& query) { query.childRemoved(key); });
  };
  callbacks.loaded = [guarded, range] {
    guarded([range](Query& query) { query.rangeLoaded(range); });
  };
  callbacks.cancelled = [guarded, range](const ErrorPtr& error) {
    guarded([range, error](Query& query) { query.rangeCancelled(range, error); });
  };
  listens_[range] = {geoStore_->database()->listen(range, std::move(callbacks)), generation};
}

bool Query::isCurrent(const GeoHashQuery& range, uint64_t generation) const {
  const auto it = listens_.find(range);
  return it != listens_.end() && it->second.generation == generation;
}

void Query::childAdded(const std::string& key, const Value& value) {
  const auto location = GeoStore::locationFromValue(value);
  if (!location) {
    core::logWarning(
        kLogTag, kUnparsableCode,
        "Skipping key \"" + key + "\": unable to parse location value " + value.toJsonString());
    return;
  }
  updateLocationInfo(key, *location);
}

void Query::updateLocationInfo(const std::string& key, const platform::Location& location) {
  const auto it = locationInfos_.find(key);
  const bool isNew = it == locationInfos_.end();
  const bool was = !isNew && it->second.isInQuery;
  const bool same = !isNew && it->second.location == location;
  const bool now = locationIsInQuery(location);
  locationInfos_.insert_or_assign(key, LocationInfo{now, location, GeoHash(location.coordinate())});
  if ((isNew || !was) && now) {
    fire(keyEnteredObservers_, key, location);
  } else if (!isNew && !same && now) {
    fire(keyMovedObservers_, key, location);
  } else if (was && !now) {
    fire(keyExitedObservers_, key, location);
  }
}

void Query::childRemoved(const std::string& key) {
  if (!locationInfos_.count(key)) return;
  const std::weak_ptr<Query> weak = weak_from_this();
  geoStore_->database()->read(
      key, [weak, queue = queue_, key, session = session_](const Value& value, ErrorPtr error) {
        // A refused read leaves nothing to go by but the range's removal: the key is gone.
        const Value found = error ? Value() : value;
        postWeak(weak, queue,
                 [key, found, session](Query& query) { query.removalRead(key, found, session); });
      });
}

void Query::removalRead(const std::string& key, const Value& value, uint64_t session) {
  if (session != session_) return;
  const auto location = GeoStore::locationFromValue(value);
  if (location && queriesContainGeoHash(GeoHash(location->coordinate()))) {
    return;  // moved to another range of this query, which reports it
  }
  const auto it = locationInfos_.find(key);
  if (it == locationInfos_.end()) return;
  const bool was = it->second.isInQuery;
  locationInfos_.erase(it);
  if (was) fire(keyExitedObservers_, key, location);
}

void Query::rangeLoaded(const GeoHashQuery& range) {
  outstandingQueries_.erase(range);
  checkAndFireReadyEvent();
}

void Query::rangeCancelled(const GeoHashQuery& range, const ErrorPtr& error) {
  core::logWarning(
      kLogTag, kRangeRefusedCode,
      "Listen at " + range.description() + " refused: " + error->localizedDescription());
  listens_[range].generation = 0;  // its further callbacks are dropped
  outstandingQueries_.erase(range);
  const platform::DispatchQueuePtr callbackQueue = geoStore_->callbackQueue();
  for (Handle handle : readyObservers_) {
    callbackQueue->async([observers = observers_, handle, error] {
      const auto entry = observers->find(handle);
      if (entry && entry->cancel) entry->cancel(error);
    });
  }
  checkAndFireReadyEvent();
}

bool Query::queriesContainGeoHash(const GeoHash& hash) const {
  if (!queries_) return false;
  for (const GeoHashQuery& range : *queries_) {
    if (range.containsGeoHash(hash)) return true;
  }
  return false;
}

void Query::checkAndFireReadyEvent() {
  if (!queries_ || !outstandingQueries_.empty()) return;
  const platform::DispatchQueuePtr callbackQueue = geoStore_->callbackQueue();
  for (Handle handle : readyObservers_) {
    callbackQueue->async([observers = observers_, handle] {
      if (auto entry = observers->find(handle)) entry->ready();
    });
  }
}

void Query::fire(const std::set<Handle>& handles, const std::string& key,
                 const std::optional<platform::Location>& location) {
  if (handles.empty()) return;
  const platform::DispatchQueuePtr callbackQueue = geoStore_->callbackQueue();
  for (Handle handle : handles) {
    callbackQueue->async([observers = observers_, handle, key, location] {
      if (auto entry = observers->find(handle)) entry->result(key, location);
    });
  }
}

void Query::forget(Handle handle) {
  keyEnteredObservers_.erase(handle);
  keyExitedObservers_.erase(handle);
  keyMovedObservers_.erase(handle);
  readyObservers_.erase(handle);
  if (totalObserverCount() == 0) reset();
}

size_t Query::totalObserverCount() const {
  return keyEnteredObservers_.size() + keyExitedObservers_.size() + keyMovedObservers_.size() +
         readyObservers_.size();
}

void Query::reset() {
  // Pending initial reads are not withdrawn; their replies find no current range.
  listens_.clear();
  queries_.reset();
  outstandingQueries_.clear();
  keyEnteredObservers_.clear();
  keyExitedObservers_.clear();
  keyMovedObservers_.clear();
  readyObservers_.clear();
  locationInfos_.clear();
  ++session_;
  keepAlive_.reset();  // the running task still holds the query
}

}  // namespace dz::geo
