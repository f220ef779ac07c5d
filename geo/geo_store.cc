#include "geo/geo_store.h"

#include <cstdio>

#include "geo/circle_query.h"
#include "geo/reference_geo_database.h"
#include "geo/region_query.h"
#include "platform/exception.h"

namespace dz::geo {

std::shared_ptr<GeoStore> GeoStore::create(const database::DatabaseReference& reference) {
  if (!reference.repo()) throw Exception(kInvalidArgumentException, "Dezuvura was nil!");
  return std::shared_ptr<GeoStore>(
      new GeoStore(std::make_shared<ReferenceGeoDatabase>(reference), reference));
}

std::shared_ptr<GeoStore> GeoStore::create(std::shared_ptr<GeoDatabase> database) {
  if (!database) throw Exception(kInvalidArgumentException, "Dezuvura was nil!");
  return std::shared_ptr<GeoStore>(new GeoStore(std::move(database), std::nullopt));
}

GeoStore::GeoStore(std::shared_ptr<GeoDatabase> database,
                   std::optional<database::DatabaseReference> reference)
    : database_(std::move(database)),
      dezuvuraRef_(std::move(reference)),
      callbackQueue_(platform::DispatchQueue::main()) {}

const database::DatabaseReference& GeoStore::dezuvuraRef() const {
  if (!dezuvuraRef_) {
    throw Exception(kInternalInconsistencyException, "GeoStore has no database reference");
  }
  return *dezuvuraRef_;
}

database::DatabaseReference GeoStore::dezuvuraRefForLocationKey(const std::string& key) const {
  checkKey(key);
  return dezuvuraRef().child(key);
}

platform::DispatchQueuePtr GeoStore::callbackQueue() const {
  std::lock_guard lock(mutex_);
  return callbackQueue_;
}

void GeoStore::setCallbackQueue(platform::DispatchQueuePtr queue) {
  std::lock_guard lock(mutex_);
  callbackQueue_ = queue ? std::move(queue) : platform::DispatchQueue::main();
}

void GeoStore::checkKey(std::string_view key) {
  if (key.find_first_of(".#$][/") != std::string_view::npos) {
    throw Exception(kInvalidArgumentException, "Not a valid GeoStore key: \"" + std::string(key) +
                                                   "\". Characters .#$][/ not allowed in key!");
  }
}

void GeoStore::setLocation(const platform::Location& location, const std::string& key,
                           CompletionBlock completion) {
  const platform::Coordinate2D coordinate = location.coordinate();
  if (!platform::isValidCoordinate(coordinate)) {
    char reason[96];
    std::snprintf(reason, sizeof reason, "Not a valid coordinate: [%f, %f]", coordinate.latitude,
                  coordinate.longitude);
    throw Exception(kInvalidArgumentException, reason);
  }
  const std::string hash = GeoHash(coordinate).geoHashValue();
  Value::Map entry{{"g", hash}, {"l", Value::Array{coordinate.latitude, coordinate.longitude}}};
  write(key, Value(std::move(entry)), hash, std::move(completion));
}

void GeoStore::removeKey(const std::string& key, CompletionBlock completion) {
  write(key, nullptr, nullptr, std::move(completion));
}

void GeoStore::write(const std::string& key, const Value& value, const Value& priority,
                     CompletionBlock completion) {
  checkKey(key);
  database_->write(key, value, priority,
                   [self = shared_from_this(), completion = std::move(completion)](ErrorPtr error) {
                     if (!completion) return;
                     self->callbackQueue()->async([completion, error] { completion(error); });
                   });
}

void GeoStore::getLocationForKey(const std::string& key, LocationCallback callback) {
  // Refused here: a null callback would otherwise fail later, on the callback queue.
  if (!callback) throw Exception(kInvalidArgumentException, "Block is not allowed to be nil!");
  checkKey(key);
  database_->read(key, [self = shared_from_this(), callback = std::move(callback)](
                           const Value& value, ErrorPtr error) {
    std::optional<platform::Location> location;
    if (!error && !value.isNull()) {
      location = locationFromValue(value);
      if (!location) {
        error = std::make_shared<Error>(kGeoStoreErrorDomain, kGeoStoreParseErrorCode,
                                        "Unable to parse location value: " + value.toJsonString());
      }
    }
    self->callbackQueue()->async([callback, location, error] { callback(location, error); });
  });
}

std::optional<platform::Location> GeoStore::locationFromValue(const Value& value) {
  const Value* pair = value.find("l");
  if (!pair || !pair->isArray() || pair->size() != 2) return std::nullopt;
  const Value& latitude = pair->asArray()[0];
  const Value& longitude = pair->asArray()[1];
  // Booleans are a type of their own here, so they never read as 0 or 1.
  if (!latitude.isNumber() || !longitude.isNumber()) return std::nullopt;
  const platform::Coordinate2D coordinate{latitude.asDouble(), longitude.asDouble()};
  if (!platform::isValidCoordinate(coordinate)) return std::nullopt;
  return platform::Location(coordinate);
}

std::shared_ptr<CircleQuery> GeoStore::queryAtLocation(const platform::Location& center,
                                                       double radiusKm) {
  return CircleQuery::create(shared_from_this(), center, radiusKm);
}

std::shared_ptr<RegionQuery> GeoStore::queryWithRegion(const Region& region) {
  return RegionQuery::create(shared_from_this(), region);
}

}  // namespace dz::geo
