#include "database/core/view/event.h"

#include "database/core/view/event_registration.h"

namespace dz::database {

const char* eventTypeName(EventType type) {
  switch (type) {
    case EventType::ChildAdded:
      return "child_added";
    case EventType::ChildRemoved:
      return "child_removed";
    case EventType::ChildChanged:
      return "child_changed";
    case EventType::ChildMoved:
      return "child_moved";
    case EventType::Value:
      return "value";
  }
  return "unknown";
}

Event::Event(std::shared_ptr<const EventRegistration> registration, DataEvent data)
    : registration_(std::move(registration)), path_(data.path) {
  data_ = std::move(data);
}

Event::Event(std::shared_ptr<const EventRegistration> registration, ErrorPtr error, Path path)
    : registration_(std::move(registration)), error_(std::move(error)), path_(std::move(path)) {}

void Event::fire() const {
  if (!registration_) return;
  if (data_) {
    registration_->fireEvent(*data_);
  } else {
    registration_->fireCancel(error_);
  }
}

std::string Event::description() const {
  if (!data_) return path_.toString() + ": cancel";
  std::string text = path_.toString() + ": " + eventTypeName(data_->type) + ": " +
                     data_->snapshot.node()->description();
  if (data_->prevKey) text += " prev " + *data_->prevKey;
  return text;
}

void append(Events& events, Events&& more) {
  if (events.empty()) {
    events = std::move(more);
    return;
  }
  events.insert(events.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
}

}  // namespace dz::database
