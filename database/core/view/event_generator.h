// EventGenerator: turns a view's changes into the events of its registrations, in the order
// removed, added, moved, changed, value, each kind sorted by the query's index and with the
// previous sibling's key filled in. Work queue only.
#pragma once

#include <vector>

#include "database/core/view/change.h"
#include "database/core/view/event.h"
#include "database/core/view/event_registration.h"
#include "database/snapshot/query_spec.h"

namespace dz::database {

class EventGenerator {
 public:
  explicit EventGenerator(QuerySpec query) : query_(std::move(query)) {}

  Events generateEventsForChanges(const std::vector<Change>& changes, const IndexedNode& eventCache,
                                  const std::vector<EventRegistrationPtr>& registrations) const;

 private:
  void generateEventsForType(Events& events, EventType type, const std::vector<Change>& changes,
                             const std::vector<EventRegistrationPtr>& registrations,
                             const IndexedNode& eventCache) const;

  QuerySpec query_;
};

}  // namespace dz::database
