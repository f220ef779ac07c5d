#include "database/api/database_query.h"

#include <atomic>

#include "database/api/database_reference.h"
#include "database/api/query_state.h"
#include "database/core/repo.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/snapshot/validation.h"
#include "database/utilities/utilities.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr int64_t kMaxLimit = 2147483648LL;  // 2^31, refused
constexpr char kMultipleOrderBy[] = "Cannot use multiple queryOrderedBy calls!";
constexpr char kInfoKeepSynced[] =
    "Can't keep query on .info tree synced (this already is the case).";
constexpr char kPriorityBounds[] =
    "When using queryOrderedByPriority, values provided to queryStartingAtValue:, "
    "queryEndingAtValue:, or queryEqualToValue: must be valid priorities.";

[[noreturn]] void refuse(const std::string& reason) {
  throw Exception(kInvalidQueryParameter, reason);
}

bool isKeyIndex(const QueryParams& params) { return params.index()->equals(*KeyIndex::keyIndex()); }

// A bound as the endpoint checks see it: its value before conversion, so that a bound the ordering
// refuses gets the ordering's message rather than the conversion's.
struct Bound {
  Value value;
  bool withKey;
};

std::optional<Bound> startOf(const QueryParams& params) {
  if (!params.hasStart()) return std::nullopt;
  return Bound{params.indexStartValue()->val(), &params.indexStartKey() != &minName()};
}

std::optional<Bound> endOf(const QueryParams& params) {
  if (!params.hasEnd()) return std::nullopt;
  return Bound{params.indexEndValue()->val(), &params.indexEndKey() != &maxName()};
}

// The checks every new set of bounds must pass against its ordering.
void validateEndpoints(const Index& index, const std::optional<Bound>& start,
                       const std::optional<Bound>& end) {
  if (index.equals(*KeyIndex::keyIndex())) {
    if (start) {
      if (start->withKey) {
        refuse(
            "Can't use queryStartingAtValue:childKey: or queryEqualTo:andChildKey: in "
            "combination with queryOrderedByKey");
      }
      if (!start->value.isString()) {
        refuse(
            "Can't use queryStartingAtValue: with other types than string in combination with "
            "queryOrderedByKey");
      }
    }
    if (end) {
      if (end->withKey) {
        refuse(
            "Can't use queryEndingAtValue:childKey: or queryEqualToValue:childKey: in "
            "combination with queryOrderedByKey");
      }
      if (!end->value.isString()) {
        refuse(
            "Can't use queryEndingAtValue: with other types than string in combination with "
            "queryOrderedByKey");
      }
    }
  } else if (index.equals(*PriorityIndex::priorityIndex())) {
    if ((start && !Validation::validatePriorityValue(start->value)) ||
        (end && !Validation::validatePriorityValue(end->value))) {
      refuse(kPriorityBounds);
    }
  }
}

void validateEndpoints(const QueryParams& params) {
  validateEndpoints(*params.index(), startOf(params), endOf(params));
}

// The checks every bound makes before any other.
void validateBound(const Value& value, const std::optional<std::string_view>& key,
                   const std::string& label) {
  if (!value.isNull() && !value.isNumber() && !value.isString() && !value.isBool()) {
    refuse("You can only pass nil, NSString or NSNumber to " + label);
  }
  if (key) Validation::validateKey(label, *key);
}

std::optional<std::string> keyOf(const std::optional<std::string_view>& key) {
  if (!key) return std::nullopt;
  return std::string(*key);
}

void requireBlock(bool present, const std::string& label) {
  if (!present) throw Exception(kInvalidArgumentException, "(" + label + ") Must provide a block");
}

// One-shot observations register through the full observing form, whose label their event-type
// refusals carry.
constexpr char kObserveOnceTypeLabel[] =
    "observeEventType:andPreviousSiblingKeyWithBlock:withCancelBlock:";

const char* observeLabel(bool previousKey, bool withCancel) {
  if (previousKey) {
    return withCancel ? "observeEventType:andPreviousSiblingKeyWithBlock:withCancelBlock:"
                      : "observeEventType:andPreviousSiblingKeyWithBlock:";
  }
  return withCancel ? "observeEventType:withBlock:withCancelBlock:" : "observeEventType:withBlock:";
}

}  // namespace

// ---- accessors ----

const std::shared_ptr<Repo>& DatabaseQuery::repo() const { return state_->repo; }
const Path& DatabaseQuery::path() const { return state_->path; }
const QueryParams& DatabaseQuery::queryParams() const { return state_->params; }
QuerySpec DatabaseQuery::querySpec() const { return QuerySpec(state_->path, state_->params); }
bool DatabaseQuery::orderByCalled() const { return state_->orderByCalled; }

DatabaseReference DatabaseQuery::ref() const {
  return DatabaseReference(state_->repo, state_->path);
}

std::string DatabaseQuery::description() const {
  return "(" + state_->path.toString() + " " + state_->params.description() + ")";
}

DatabaseQuery DatabaseQuery::withParams(const QueryParams& params, bool orderByCalled) const {
  return DatabaseQuery(std::make_shared<const State>(
      State{state_->repo, state_->path, params, orderByCalled, false}));
}

// ---- builders ----

DatabaseQuery DatabaseQuery::queryLimitedToFirst(uint64_t limit) const {
  if (state_->params.limitSet()) {
    refuse("Can't call queryLimitedToFirst: if a limit was previously set");
  }
  if (limit == 0) refuse("Limit can't be zero");
  if (limit >= static_cast<uint64_t>(kMaxLimit)) refuse("Limit must be less than 2,147,483,648");
  return withParams(state_->params.limitToFirst(static_cast<int64_t>(limit)),
                    state_->orderByCalled);
}

DatabaseQuery DatabaseQuery::queryLimitedToLast(uint64_t limit) const {
  if (state_->params.limitSet()) {
    refuse("Can't call queryLimitedToLast: if a limit was previously set");
  }
  if (limit == 0) refuse("Limit can't be zero");
  if (limit >= static_cast<uint64_t>(kMaxLimit)) refuse("Limit must be less than 2,147,483,648");
  return withParams(state_->params.limitToLast(static_cast<int64_t>(limit)), state_->orderByCalled);
}

DatabaseQuery DatabaseQuery::queryOrderedByChild(std::string_view childPath) const {
  static constexpr char kLabel[] = "queryOrderedByChild:";
  std::string given(childPath);
  auto useInstead = [&](const char* method) {
    refuse("(queryOrderedByChild:) " + given + " is invalid.  Use " + method + " instead.");
  };
  if (given == "$key" || given == ".key") useInstead("queryOrderedByKey:");
  if (given == "$priority" || given == ".priority") useInstead("queryOrderedByPriority:");
  if (given == "$value" || given == ".value") useInstead("queryOrderedByValue:");
  if (state_->orderByCalled) refuse(kMultipleOrderBy);
  Validation::validatePathString(kLabel, childPath);
  Path indexPath(childPath);
  if (indexPath.isEmpty()) {
    refuse(
        "(queryOrderedByChild:) with an empty path is invalid.  Use queryOrderedByValue: "
        "instead.");
  }
  QueryParams params = state_->params.orderBy(PathIndex::create(indexPath));
  validateEndpoints(params);
  return withParams(params, true);
}

DatabaseQuery DatabaseQuery::queryOrderedByKey() const {
  if (state_->orderByCalled) refuse(kMultipleOrderBy);
  QueryParams params = state_->params.orderBy(KeyIndex::keyIndex());
  validateEndpoints(params);
  return withParams(params, true);
}

DatabaseQuery DatabaseQuery::queryOrderedByValue() const {
  if (state_->orderByCalled) refuse(kMultipleOrderBy);
  return withParams(state_->params.orderBy(ValueIndex::valueIndex()), true);
}

DatabaseQuery DatabaseQuery::queryOrderedByPriority() const {
  if (state_->orderByCalled) refuse(kMultipleOrderBy);
  return withParams(state_->params.orderBy(PriorityIndex::priorityIndex()), true);
}

// Bounds: which side, and the wording of their refusals.
struct DatabaseQuery::BoundSide {
  bool start;
  const char* method;      // "queryStartingAtValue"
  const char* previously;  // "queryStartingAtValue or queryEqualToValue"
};

DatabaseQuery DatabaseQuery::withBound(const BoundSide& side, const Value& value,
                                       std::optional<std::string_view> childKey) const {
  std::string method = side.method;
  if (childKey && isKeyIndex(state_->params)) {
    refuse("You must use " + method + ": instead of " + method +
           ":childKey: when using queryOrderedByKey:");
  }
  std::string label = method + (childKey ? ":childKey:" : ":");
  validateBound(value, childKey, label);
  if (side.start ? state_->params.hasStart() : state_->params.hasEnd()) {
    refuse("Can't call " + label + " after " + side.previously + " was previously called");
  }
  Bound bound{value, childKey.has_value()};
  if (side.start) {
    validateEndpoints(*state_->params.index(), bound, endOf(state_->params));
  } else {
    validateEndpoints(*state_->params.index(), startOf(state_->params), bound);
  }
  NodePtr node = SnapshotUtilities::nodeFrom(value);
  std::optional<std::string> key = keyOf(childKey);
  return withParams(
      side.start ? state_->params.startAt(node, key) : state_->params.endAt(node, key),
      state_->orderByCalled);
}

DatabaseQuery DatabaseQuery::withEqualBound(const Value& value,
                                            std::optional<std::string_view> childKey) const {
  if (childKey && isKeyIndex(state_->params)) {
    refuse(
        "You must use queryEqualToValue: instead of queryEqualTo:childKey: when using "
        "queryOrderedByKey:");
  }
  std::string label = childKey ? "queryEqualToValue:childKey:" : "queryEqualToValue:";
  validateBound(value, childKey, label);
  if (state_->params.hasStart() || state_->params.hasEnd()) {
    refuse("Can't call " + label +
           " after queryStartingAtValue, queryEndingAtValue or queryEqualToValue was previously "
           "called");
  }
  Bound bound{value, childKey.has_value()};
  validateEndpoints(*state_->params.index(), bound, bound);
  NodePtr node = SnapshotUtilities::nodeFrom(value);
  std::optional<std::string> key = keyOf(childKey);
  return withParams(state_->params.startAt(node, key).endAt(node, key), state_->orderByCalled);
}

namespace {
constexpr DatabaseQuery::BoundSide kStartSide{true, "queryStartingAtValue",
                                              "queryStartingAtValue or queryEqualToValue"};
constexpr DatabaseQuery::BoundSide kEndSide{false, "queryEndingAtValue",
                                            "queryEndingAtValue or queryEqualToValue"};
}  // namespace

DatabaseQuery DatabaseQuery::queryStartingAtValue(const Value& value) const {
  return withBound(kStartSide, value, std::nullopt);
}

DatabaseQuery DatabaseQuery::queryStartingAtValue(const Value& value,
                                                  std::string_view childKey) const {
  return withBound(kStartSide, value, childKey);
}

DatabaseQuery DatabaseQuery::queryEndingAtValue(const Value& value) const {
  return withBound(kEndSide, value, std::nullopt);
}

DatabaseQuery DatabaseQuery::queryEndingAtValue(const Value& value,
                                                std::string_view childKey) const {
  return withBound(kEndSide, value, childKey);
}

DatabaseQuery DatabaseQuery::queryEqualToValue(const Value& value) const {
  return withEqualBound(value, std::nullopt);
}

DatabaseQuery DatabaseQuery::queryEqualToValue(const Value& value,
                                               std::string_view childKey) const {
  return withEqualBound(value, childKey);
}

// ---- observing ----

DatabaseQuery::Handle DatabaseQuery::observeEventType(DataEventType type, SnapshotBlock block,
                                                      CancelBlock cancelBlock) const {
  // A reference reports the cancel form's label, as its two-argument form delegates unchecked.
  std::string label = observeLabel(false, cancelBlock != nullptr || state_->isReference);
  Validation::validateKnownEventType(label, static_cast<int>(type));
  if (type == DataEventType::Value) {
    requireBlock(block != nullptr, label);
    return observeValue(LUIDGenerator(), std::move(block), std::move(cancelBlock));
  }
  // Without a block a child observer still listens (and keeps its data synced); it just calls
  // nothing.
  return observe(
      LUIDGenerator(), type,
      [block = std::move(block)](const DataSnapshot& snapshot, const std::optional<std::string>&) {
        if (block) block(snapshot);
      },
      std::move(cancelBlock));
}

DatabaseQuery::Handle DatabaseQuery::observeEventTypeWithPreviousSiblingKey(
    DataEventType type, SnapshotWithPreviousKeyBlock block, CancelBlock cancelBlock) const {
  std::string label = observeLabel(true, cancelBlock != nullptr || state_->isReference);
  Validation::validateKnownEventType(label, static_cast<int>(type));
  requireBlock(block != nullptr, label);
  return observe(LUIDGenerator(), type, std::move(block), std::move(cancelBlock));
}

namespace {

CancelCallback cancelCallbackOf(DatabaseQuery::CancelBlock cancelBlock) {
  if (!cancelBlock) return nullptr;
  return [cancelBlock = std::move(cancelBlock)](const ErrorPtr& error) { cancelBlock(error); };
}

}  // namespace

DatabaseQuery::Handle DatabaseQuery::observe(Handle handle, DataEventType type,
                                             SnapshotWithPreviousKeyBlock block,
                                             CancelBlock cancelBlock) const {
  std::shared_ptr<Repo> repo = state_->repo;
  EventCallback callback = [repo, block = std::move(block)](const DataEvent& event) {
    block(DataSnapshot(repo, event.path, event.snapshot), event.prevKey);
  };
  auto registration =
      ChildEventRegistration::create(handle, {{static_cast<EventType>(type), std::move(callback)}},
                                     cancelCallbackOf(std::move(cancelBlock)));
  QuerySpec query = querySpec();
  repo->queue()->async(
      [repo, registration, query] { repo->addEventRegistration(registration, query); });
  return handle;
}

DatabaseQuery::Handle DatabaseQuery::observeValue(Handle handle, SnapshotBlock block,
                                                  CancelBlock cancelBlock) const {
  std::shared_ptr<Repo> repo = state_->repo;
  EventCallback callback = [repo, block = std::move(block)](const DataEvent& event) {
    block(DataSnapshot(repo, event.path, event.snapshot));
  };
  auto registration = ValueEventRegistration::create(handle, std::move(callback),
                                                     cancelCallbackOf(std::move(cancelBlock)));
  QuerySpec query = querySpec();
  repo->queue()->async(
      [repo, registration, query] { repo->addEventRegistration(registration, query); });
  return handle;
}

// The handle is drawn before the registration exists, so the first event, however early, removes
// exactly this observer; the flag lets one event through even when several are already queued.
void DatabaseQuery::observeOnce(DataEventType type, SnapshotWithPreviousKeyBlock block,
                                CancelBlock cancelBlock) const {
  Handle handle = LUIDGenerator();
  auto fired = std::make_shared<std::atomic<bool>>(false);
  DatabaseQuery self = *this;
  SnapshotWithPreviousKeyBlock once = [self, handle, fired, block = std::move(block)](
                                          const DataSnapshot& snapshot,
                                          const std::optional<std::string>& previousKey) {
    if (fired->exchange(true)) return;
    self.removeObserverWithHandle(handle);
    block(snapshot, previousKey);
  };
  CancelBlock onCancel = [self, handle, cancelBlock = std::move(cancelBlock)](const ErrorPtr& e) {
    self.removeObserverWithHandle(handle);
    if (cancelBlock) cancelBlock(e);
  };
  observe(handle, type, std::move(once), std::move(onCancel));
}

void DatabaseQuery::observeSingleEventOfType(DataEventType type, SnapshotBlock block,
                                             CancelBlock cancelBlock) const {
  Validation::validateKnownEventType(kObserveOnceTypeLabel, static_cast<int>(type));
  requireBlock(block != nullptr, "observeSingleEventOfType:withBlock:withCancelBlock:");
  observeOnce(
      type,
      [block = std::move(block)](const DataSnapshot& snapshot, const std::optional<std::string>&) {
        block(snapshot);
      },
      std::move(cancelBlock));
}

void DatabaseQuery::observeSingleEventOfTypeWithPreviousSiblingKey(
    DataEventType type, SnapshotWithPreviousKeyBlock block, CancelBlock cancelBlock) const {
  Validation::validateKnownEventType(kObserveOnceTypeLabel, static_cast<int>(type));
  requireBlock(block != nullptr,
               "observeSingleEventOfType:andPreviousSiblingKeyWithBlock:withCancelBlock:");
  observeOnce(type, std::move(block), std::move(cancelBlock));
}

void DatabaseQuery::removeObserverWithHandle(Handle handle) const {
  std::shared_ptr<Repo> repo = state_->repo;
  auto matcher = ValueEventRegistration::create(handle, nullptr);
  QuerySpec query = querySpec();
  repo->queue()->async([repo, matcher, query] { repo->removeEventRegistration(matcher, query); });
}

void DatabaseQuery::removeAllObservers() const { removeObserverWithHandle(kAllObservers); }

void DatabaseQuery::keepSynced(bool synced) const {
  if (DotInfoTree::contains(state_->path)) {
    throw Exception(kInvalidArgumentException, kInfoKeepSynced);
  }
  std::shared_ptr<Repo> repo = state_->repo;
  QuerySpec query = querySpec();
  repo->queue()->async([repo, query, synced] { repo->keepQuerySynced(query, synced); });
}

}  // namespace dz::database
