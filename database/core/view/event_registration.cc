#include "database/core/view/event_registration.h"

namespace dz::database {

bool EventRegistration::matches(const EventRegistration& other) const {
  return handle_ == other.handle_ || handle_ == kAllHandle || other.handle_ == kAllHandle;
}

Event EventRegistration::createEvent(const Change& change, const QuerySpec& query) const {
  DataEvent data;
  data.type = change.type;
  data.query = query;
  if (change.type == EventType::Value) {
    data.path = query.path();
    data.snapshot =
        change.snapshot ? *change.snapshot : IndexedNode(change.node, query.params().index());
  } else {
    data.path = query.path().child(*change.childKey);
    data.snapshot = IndexedNode(change.node, query.params().index());
    data.childKey = change.childKey;
    data.prevKey = change.prevKey;
  }
  return Event(shared_from_this(), std::move(data));
}

std::optional<Event> EventRegistration::createCancelEvent(const ErrorPtr& error,
                                                          const Path& path) const {
  if (!cancel_) return std::nullopt;
  return Event(shared_from_this(), error, path);
}

void EventRegistration::fireCancel(const ErrorPtr& error) const {
  if (cancel_) cancel_(error);
}

std::shared_ptr<ValueEventRegistration> ValueEventRegistration::create(Handle handle,
                                                                       EventCallback callback,
                                                                       CancelCallback cancel) {
  return std::make_shared<ValueEventRegistration>(handle, std::move(callback), std::move(cancel));
}

bool ValueEventRegistration::respondsTo(EventType type) const { return type == EventType::Value; }

void ValueEventRegistration::fireEvent(const DataEvent& event) const {
  if (callback_) callback_(event);
}

std::shared_ptr<ChildEventRegistration> ChildEventRegistration::create(Handle handle,
                                                                       Callbacks callbacks,
                                                                       CancelCallback cancel) {
  return std::make_shared<ChildEventRegistration>(handle, std::move(callbacks), std::move(cancel));
}

bool ChildEventRegistration::respondsTo(EventType type) const {
  return callbacks_.count(type) != 0;
}

void ChildEventRegistration::fireEvent(const DataEvent& event) const {
  auto it = callbacks_.find(event.type);
  if (it != callbacks_.end() && it->second) it->second(event);
}

const std::shared_ptr<KeepSyncedEventRegistration>& KeepSyncedEventRegistration::instance() {
  static const auto* registration = new std::shared_ptr<KeepSyncedEventRegistration>(
      std::make_shared<KeepSyncedEventRegistration>());
  return *registration;
}

}  // namespace dz::database
