#include "database/core/view/event_generator.h"

#include <algorithm>

namespace dz::database {

Events EventGenerator::generateEventsForChanges(
    const std::vector<Change>& changes, const IndexedNode& eventCache,
    const std::vector<EventRegistrationPtr>& registrations) const {
  Events events;
  if (registrations.empty()) return events;
  std::vector<Change> moves;
  const Index& index = *query_.params().index();
  for (const Change& change : changes) {
    if (change.type == EventType::ChildChanged &&
        index.indexedValueChanged(*change.oldNode, *change.node)) {
      moves.push_back(Change::childMoved(*change.childKey, change.node));
    }
  }
  generateEventsForType(events, EventType::ChildRemoved, changes, registrations, eventCache);
  generateEventsForType(events, EventType::ChildAdded, changes, registrations, eventCache);
  generateEventsForType(events, EventType::ChildMoved, moves, registrations, eventCache);
  generateEventsForType(events, EventType::ChildChanged, changes, registrations, eventCache);
  generateEventsForType(events, EventType::Value, changes, registrations, eventCache);
  return events;
}

void EventGenerator::generateEventsForType(Events& events, EventType type,
                                           const std::vector<Change>& changes,
                                           const std::vector<EventRegistrationPtr>& registrations,
                                           const IndexedNode& eventCache) const {
  bool anyResponds =
      std::any_of(registrations.begin(), registrations.end(),
                  [&](const EventRegistrationPtr& r) { return r->respondsTo(type); });
  if (!anyResponds) return;
  std::vector<const Change*> filtered;
  for (const Change& change : changes) {
    if (change.type == type) filtered.push_back(&change);
  }
  if (filtered.empty()) return;
  const Index& index = *query_.params().index();
  if (type != EventType::Value && filtered.size() > 1) {
    std::stable_sort(filtered.begin(), filtered.end(), [&](const Change* a, const Change* b) {
      return index.compare(NamedNode(*a->childKey, a->node), NamedNode(*b->childKey, b->node)) < 0;
    });
  }
  for (const Change* change : filtered) {
    Change materialized = *change;
    if (type != EventType::Value && type != EventType::ChildRemoved) {
      materialized.prevKey = eventCache.predecessorChildKey(*change->childKey, change->node);
    }
    for (const auto& registration : registrations) {
      if (registration->respondsTo(type)) {
        events.push_back(registration->createEvent(materialized, query_));
      }
    }
  }
}

}  // namespace dz::database
