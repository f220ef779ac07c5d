// DatabaseQuery: an immutable description of a read: a location with an ordering, optional
// bounds and an optional limit. A copyable handle, safe to use from any thread. Builders check
// their arguments on the caller's thread, throw dz::Exception ("InvalidQueryParameter" and the
// names noted) on misuse, and return a new query; observing, removing observers and keeping in
// sync queue one task each on the database's work queue, so calls from one thread take effect in
// call order. Callbacks run on the database's callback queue (the main queue unless set).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/api/data_snapshot.h"
#include "platform/error.h"
#include "platform/exception.h"
#include "platform/value.h"

namespace dz::database {

class DatabaseReference;
class QueryParams;
class QuerySpec;

// The numbers are part of the interface.
enum class DataEventType : int {
  ChildAdded = 0,
  ChildRemoved = 1,
  ChildChanged = 2,
  ChildMoved = 3,
  Value = 4,
};

inline constexpr char kInvalidQueryParameter[] = "InvalidQueryParameter";

class DatabaseQuery {
 public:
  using Handle = uint64_t;
  // Stands for every observer of a query.
  static constexpr Handle kAllObservers = 9223372036854775807ULL;

  using SnapshotBlock = std::function<void(const DataSnapshot& snapshot)>;
  // The snapshot and the key of the previous sibling in query order, when there is one.
  using SnapshotWithPreviousKeyBlock = std::function<void(
      const DataSnapshot& snapshot, const std::optional<std::string>& previousKey)>;
  using CancelBlock = std::function<void(const ErrorPtr& error)>;

  // Limits: zero, 2^31 or more, or a second limit throw.
  DatabaseQuery queryLimitedToFirst(uint64_t limit) const;
  DatabaseQuery queryLimitedToLast(uint64_t limit) const;
  // Orderings: a second ordering throws; a child path must be a valid, non-empty path.
  DatabaseQuery queryOrderedByChild(std::string_view path) const;
  DatabaseQuery queryOrderedByKey() const;
  DatabaseQuery queryOrderedByValue() const;
  DatabaseQuery queryOrderedByPriority() const;
  // Bounds: values are null, strings, numbers or booleans; keys valid keys; a bound set twice,
  // or one that does not suit the ordering, throws.
  DatabaseQuery queryStartingAtValue(const Value& value) const;
  DatabaseQuery queryStartingAtValue(const Value& value, std::string_view childKey) const;
  DatabaseQuery queryEndingAtValue(const Value& value) const;
  DatabaseQuery queryEndingAtValue(const Value& value, std::string_view childKey) const;
  DatabaseQuery queryEqualToValue(const Value& value) const;
  DatabaseQuery queryEqualToValue(const Value& value, std::string_view childKey) const;

  // Observes every event of `type` until removed. An event type outside 0 to 4 throws
  // "KnownEventTypeValidation". A missing block throws NSInvalidArgumentException, except for a
  // child event type through observeEventType, whose observer then listens and calls nothing.
  Handle observeEventType(DataEventType type, SnapshotBlock block,
                          CancelBlock cancelBlock = nullptr) const;
  Handle observeEventTypeWithPreviousSiblingKey(DataEventType type,
                                                SnapshotWithPreviousKeyBlock block,
                                                CancelBlock cancelBlock = nullptr) const;
  // Observes the first event of `type` only, then removes itself.
  void observeSingleEventOfType(DataEventType type, SnapshotBlock block,
                                CancelBlock cancelBlock = nullptr) const;
  void observeSingleEventOfTypeWithPreviousSiblingKey(DataEventType type,
                                                      SnapshotWithPreviousKeyBlock block,
                                                      CancelBlock cancelBlock = nullptr) const;
  void removeObserverWithHandle(Handle handle) const;
  void removeAllObservers() const;
  // Keeps the query's data synced without observers. Throws NSInvalidArgumentException under
  // ".info".
  void keepSynced(bool synced) const;

  // The location without the query's parameters.
  DatabaseReference ref() const;
  // "(<path> <parameters>)".
  std::string description() const;

  // For the engine and the library's own objects.
  const std::shared_ptr<Repo>& repo() const;
  const Path& path() const;
  const QueryParams& queryParams() const;
  QuerySpec querySpec() const;
  bool orderByCalled() const;
  struct BoundSide;

 protected:
  struct State;
  explicit DatabaseQuery(std::shared_ptr<const State> state) : state_(std::move(state)) {}
  DatabaseQuery withParams(const QueryParams& params, bool orderByCalled) const;
  DatabaseQuery withBound(const BoundSide& side, const Value& value,
                          std::optional<std::string_view> childKey) const;
  DatabaseQuery withEqualBound(const Value& value, std::optional<std::string_view> childKey) const;
  Handle observe(Handle handle, DataEventType type, SnapshotWithPreviousKeyBlock block,
                 CancelBlock cancelBlock) const;
  Handle observeValue(Handle handle, SnapshotBlock block, CancelBlock cancelBlock) const;
  void observeOnce(DataEventType type, SnapshotWithPreviousKeyBlock block,
                   CancelBlock cancelBlock) const;

  std::shared_ptr<const State> state_;
};

}  // namespace dz::database
