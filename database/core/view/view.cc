#include "database/core/view/view.h"

#include <algorithm>

namespace dz::database {

namespace {

ViewCache initialCache(const QuerySpec& query, const NodeFilter& filter, const ViewCache& initial) {
  IndexedFilter indexFilter(query.params().index());
  // The server data is only put in index order; the query's own filter waits for tagged data.
  IndexedNode serverSnap = indexFilter.updateFullNode(
      IndexedNode(EmptyNode::emptyNode(), query.params().index()),
      IndexedNode(initial.serverCache().node(), query.params().index()), nullptr);
  IndexedNode eventSnap = filter.updateFullNode(
      IndexedNode(EmptyNode::emptyNode(), query.params().index()),
      IndexedNode(initial.eventCache().node(), query.params().index()), nullptr);
  return ViewCache(CacheNode(std::move(eventSnap), initial.eventCache().isFullyInitialized(),
                             filter.filtersNodes()),
                   CacheNode(std::move(serverSnap), initial.serverCache().isFullyInitialized(),
                             indexFilter.filtersNodes()));
}

}  // namespace

View::View(QuerySpec query, const ViewCache& initialViewCache)
    : query_(std::move(query)),
      processor_(makeNodeFilter(query_.params())),
      viewCache_(initialCache(query_, processor_.filter(), initialViewCache)),
      eventGenerator_(query_) {}

NodePtr View::completeServerCache(const Path& path) const {
  NodePtr cache = viewCache_.completeServerSnap();
  if (!cache) return nullptr;
  // A filtered view holds only some children: complete only for a child it has.
  if (query_.loadsAllData() ||
      (!path.isEmpty() && !cache->getImmediateChild(path.front())->isEmpty())) {
    return cache->getChild(path);
  }
  return nullptr;
}

void View::addEventRegistration(EventRegistrationPtr registration) {
  registrations_.push_back(std::move(registration));
}

Events View::removeEventRegistration(const EventRegistrationPtr& registration,
                                     const ErrorPtr& cancelError) {
  Events cancelEvents;
  if (cancelError) {
    for (const auto& existing : registrations_) {
      if (registration && !existing->matches(*registration)) continue;
      if (auto event = existing->createCancelEvent(cancelError, query_.path())) {
        cancelEvents.push_back(std::move(*event));
      }
    }
  }
  if (registration) {
    std::vector<EventRegistrationPtr> remaining;
    for (auto& existing : registrations_) {
      if (!existing->matches(*registration)) remaining.push_back(std::move(existing));
    }
    registrations_ = std::move(remaining);
  } else {
    registrations_.clear();
  }
  return cancelEvents;
}

Events View::applyOperation(const Operation& operation, const WriteTreeRef& writesCache,
                            const CompleteServerData& completeServerCache) {
  const bool childChanges =
      std::any_of(registrations_.begin(), registrations_.end(), [](const auto& registration) {
        return registration->respondsTo(EventType::ChildAdded) ||
               registration->respondsTo(EventType::ChildRemoved) ||
               registration->respondsTo(EventType::ChildChanged) ||
               registration->respondsTo(EventType::ChildMoved);
      });
  ProcessorResult result = processor_.applyOperation(viewCache_, operation, writesCache,
                                                     completeServerCache, childChanges);
  viewCache_ = std::move(result.viewCache);
  return generateEventsForChanges(result.changes, viewCache_.eventCache().indexedNode(), nullptr);
}

Events View::initialEvents(const EventRegistrationPtr& registration) const {
  const CacheNode& eventSnap = viewCache_.eventCache();
  std::vector<Change> initialChanges;
  for (const auto& entry : eventSnap.node()->children()) {
    initialChanges.push_back(Change::childAdded(entry.key, entry.value));
  }
  if (eventSnap.isFullyInitialized())
    initialChanges.push_back(Change::value(eventSnap.indexedNode()));
  return generateEventsForChanges(initialChanges, eventSnap.indexedNode(), registration);
}

Events View::generateEventsForChanges(const std::vector<Change>& changes,
                                      const IndexedNode& eventCache,
                                      const EventRegistrationPtr& only) const {
  if (only) {
    return eventGenerator_.generateEventsForChanges(changes, eventCache, {only});
  }
  return eventGenerator_.generateEventsForChanges(changes, eventCache, registrations_);
}

}  // namespace dz::database
