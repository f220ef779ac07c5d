// Events of the sync engine: what a registration's callback receives (a plain record, so the
// engine does not depend on the public snapshot type) and the event bound to its registration,
// ready to fire on the callback queue. Events are immutable values, made on the work queue and
// fired on the callback queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/snapshot/indexed_node.h"
#include "database/snapshot/path.h"
#include "database/snapshot/query_spec.h"
#include "platform/error.h"

namespace dz::database {

// The numbers are those the public interface uses.
enum class EventType : int {
  ChildAdded = 0,
  ChildRemoved = 1,
  ChildChanged = 2,
  ChildMoved = 3,
  Value = 4,
};

const char* eventTypeName(EventType type);

// The data of one event, as a registration's callback receives it.
struct DataEvent {
  EventType type = EventType::Value;
  // The query of the view that raised the event.
  QuerySpec query = QuerySpec::defaultQueryAtPath(Path());
  // Where the snapshot lives: the query's path, or its child for child events.
  Path path;
  // The data, ordered by the query's index.
  IndexedNode snapshot{EmptyNode::emptyNode()};
  // The child's key for child events.
  std::optional<std::string> childKey;
  // The key of the previous sibling in query order (added, changed, moved), when there is one.
  std::optional<std::string> prevKey;
};

class EventRegistration;

// One event for one registration: data, or the cancellation of the registration.
class Event {
 public:
  Event(std::shared_ptr<const EventRegistration> registration, DataEvent data);
  Event(std::shared_ptr<const EventRegistration> registration, ErrorPtr error, Path path);

  bool isCancel() const { return !data_.has_value(); }
  // Present unless this is a cancel event.
  const std::optional<DataEvent>& data() const { return data_; }
  const ErrorPtr& error() const { return error_; }
  // The location of the event: the snapshot's path, or the cancelled query's path.
  const Path& path() const { return path_; }
  const std::shared_ptr<const EventRegistration>& registration() const { return registration_; }

  // Calls the registration's callback. Runs on the callback queue; exceptions from the user's
  // callback propagate to the caller (the event raiser catches them).
  void fire() const;

  std::string description() const;

 private:
  std::shared_ptr<const EventRegistration> registration_;
  std::optional<DataEvent> data_;
  ErrorPtr error_;
  Path path_;
};

using Events = std::vector<Event>;

// Moves `more` onto the end of `events`.
void append(Events& events, Events&& more);

}  // namespace dz::database
