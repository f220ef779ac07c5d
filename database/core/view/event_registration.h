// Event registrations: a listener's interest in the events of one query, with the callbacks that
// receive them. Made by the caller (later the public query object), handed to the sync tree on
// the work queue, and fired on the callback queue; immutable after construction, so shared freely.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "database/core/view/change.h"
#include "database/core/view/event.h"
#include "database/snapshot/query_spec.h"
#include "platform/error.h"

namespace dz::database {

using Handle = uint64_t;
// Stands for every registration of a query: it matches any handle.
inline constexpr Handle kAllHandle = 9223372036854775807ULL;

using EventCallback = std::function<void(const DataEvent&)>;
using CancelCallback = std::function<void(const ErrorPtr&)>;

class EventRegistration : public std::enable_shared_from_this<EventRegistration> {
 public:
  virtual ~EventRegistration() = default;
  EventRegistration(const EventRegistration&) = delete;
  EventRegistration& operator=(const EventRegistration&) = delete;

  Handle handle() const { return handle_; }

  virtual bool respondsTo(EventType type) const = 0;
  // Equal handles, or either is the "all" handle.
  virtual bool matches(const EventRegistration& other) const;

  // The event of a change for this registration (the change's type must be one it responds to).
  Event createEvent(const Change& change, const QuerySpec& query) const;
  // A cancel event, or none when the registration has no cancel callback.
  std::optional<Event> createCancelEvent(const ErrorPtr& error, const Path& path) const;

  // Called on the callback queue by Event::fire.
  virtual void fireEvent(const DataEvent& event) const = 0;
  void fireCancel(const ErrorPtr& error) const;

 protected:
  EventRegistration(Handle handle, CancelCallback cancel)
      : handle_(handle), cancel_(std::move(cancel)) {}

 private:
  Handle handle_;
  CancelCallback cancel_;
};

using EventRegistrationPtr = std::shared_ptr<const EventRegistration>;

// Answers value events only. Without a callback it serves as a matcher for removal.
class ValueEventRegistration final : public EventRegistration {
 public:
  static std::shared_ptr<ValueEventRegistration> create(Handle handle, EventCallback callback,
                                                        CancelCallback cancel = nullptr);
  bool respondsTo(EventType type) const override;
  void fireEvent(const DataEvent& event) const override;

  ValueEventRegistration(Handle handle, EventCallback callback, CancelCallback cancel)
      : EventRegistration(handle, std::move(cancel)), callback_(std::move(callback)) {}

 private:
  EventCallback callback_;
};

// Answers exactly the event types present in its callback map.
class ChildEventRegistration final : public EventRegistration {
 public:
  using Callbacks = std::map<EventType, EventCallback>;
  static std::shared_ptr<ChildEventRegistration> create(Handle handle, Callbacks callbacks,
                                                        CancelCallback cancel = nullptr);
  bool respondsTo(EventType type) const override;
  void fireEvent(const DataEvent& event) const override;

  ChildEventRegistration(Handle handle, Callbacks callbacks, CancelCallback cancel)
      : EventRegistration(handle, std::move(cancel)), callbacks_(std::move(callbacks)) {}

 private:
  Callbacks callbacks_;
};

// Keeps a query's view (and so its listen) alive without any callback. It matches only itself,
// so removing observers by handle (even the "all" handle) leaves it in place; the sync tree makes
// one per kept query.
class KeepSyncedEventRegistration final : public EventRegistration {
 public:
  static const std::shared_ptr<KeepSyncedEventRegistration>& instance();
  bool respondsTo(EventType) const override { return false; }
  bool matches(const EventRegistration& other) const override { return this == &other; }
  void fireEvent(const DataEvent&) const override {}

  KeepSyncedEventRegistration() : EventRegistration(0, nullptr) {}
};

}  // namespace dz::database
