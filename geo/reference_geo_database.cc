#include "geo/reference_geo_database.h"

#include <atomic>

namespace dz::geo {
namespace {

using database::DatabaseQuery;
using database::DataEventType;
using database::DataSnapshot;

constexpr char kGeoHashChild[] = "g";

class QueryListen : public GeoDatabase::Listen {
 public:
  QueryListen(DatabaseQuery query, std::vector<DatabaseQuery::Handle> handles)
      : query_(std::move(query)), handles_(std::move(handles)) {}
  ~QueryListen() override {
    for (DatabaseQuery::Handle handle : handles_) query_.removeObserverWithHandle(handle);
  }

 private:
  DatabaseQuery query_;
  std::vector<DatabaseQuery::Handle> handles_;
};

ErrorPtr orUnknown(const ErrorPtr& error) {
  return error ? error : std::make_shared<Error>("com.dezuvura", 9999, "The listen was cancelled");
}

}  // namespace

void ReferenceGeoDatabase::write(const std::string& key, const Value& value, const Value& priority,
                                 WriteCompletion completion) {
  reference_.child(key).setValueAndPriority(
      value, priority, [completion = std::move(completion)](const ErrorPtr& error, const auto&) {
        if (completion) completion(error);
      });
}

void ReferenceGeoDatabase::read(const std::string& key, ReadCallback callback) {
  auto shared = std::make_shared<ReadCallback>(std::move(callback));
  reference_.child(key).observeSingleEventOfType(
      DataEventType::Value,
      [shared](const DataSnapshot& snapshot) { (*shared)(snapshot.value(), nullptr); },
      [shared](const ErrorPtr& error) { (*shared)(Value(), orUnknown(error)); });
}

std::unique_ptr<GeoDatabase::Listen> ReferenceGeoDatabase::listen(const GeoHashQuery& range,
                                                                  RangeCallbacks callbacks) {
  const DatabaseQuery query = reference_.queryOrderedByChild(kGeoHashChild)
                                  .queryStartingAtValue(range.startValue())
                                  .queryEndingAtValue(range.endValue());
  auto shared = std::make_shared<RangeCallbacks>(std::move(callbacks));
  // Each of the listen's observers hears a refusal; the range reports it once.
  auto refused = std::make_shared<std::atomic<bool>>(false);
  auto cancel = [shared, refused](const ErrorPtr& error) {
    if (!refused->exchange(true)) shared->cancelled(orUnknown(error));
  };
  std::vector<DatabaseQuery::Handle> handles;
  handles.push_back(query.observeEventType(
      DataEventType::ChildAdded,
      [shared](const DataSnapshot& snapshot) {
        shared->added(snapshot.key().value_or(""), snapshot.value());
      },
      cancel));
  handles.push_back(query.observeEventType(
      DataEventType::ChildChanged,
      [shared](const DataSnapshot& snapshot) {
        shared->changed(snapshot.key().value_or(""), snapshot.value());
      },
      cancel));
  handles.push_back(query.observeEventType(
      DataEventType::ChildRemoved,
      [shared](const DataSnapshot& snapshot) { shared->removed(snapshot.key().value_or("")); },
      cancel));
  // Registered after the child observers, so its event follows the initial children.
  query.observeSingleEventOfType(
      DataEventType::Value, [shared](const DataSnapshot&) { shared->loaded(); }, cancel);
  return std::make_unique<QueryListen>(query, std::move(handles));
}

}  // namespace dz::geo
