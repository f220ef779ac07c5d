// View: the data of one query at one location (server cache and event cache) with the
// registrations that listen to it. Applies operations through its view processor and turns the
// changes into events. Owned by its sync point; work queue only.
#pragma once

#include <memory>
#include <vector>

#include "database/core/operation.h"
#include "database/core/view/cache_node.h"
#include "database/core/view/event_generator.h"
#include "database/core/view/event_registration.h"
#include "database/core/view/view_processor.h"
#include "database/core/write_tree.h"
#include "database/snapshot/query_spec.h"

namespace dz::database {

class View {
 public:
  View(QuerySpec query, const ViewCache& initialViewCache);
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  const QuerySpec& query() const { return query_; }
  const ViewCache& viewCache() const { return viewCache_; }
  // The server data (complete or not).
  const NodePtr& serverCache() const { return viewCache_.serverCache().node(); }
  // The event data when complete, else null.
  NodePtr completeNode() const { return viewCache_.completeEventSnap(); }
  // Complete server data at `path` below the view, or null.
  NodePtr completeServerCache(const Path& path) const;

  bool isEmpty() const { return registrations_.empty(); }
  const std::vector<EventRegistrationPtr>& registrations() const { return registrations_; }
  void addEventRegistration(EventRegistrationPtr registration);
  // Removes the matching registrations (all of them for null). With an error, first makes the
  // cancel events of every registration (the error cancels them all).
  Events removeEventRegistration(const EventRegistrationPtr& registration,
                                 const ErrorPtr& cancelError);

  Events applyOperation(const Operation& operation, const WriteTreeRef& writesCache,
                        const CompleteServerData& completeServerCache);
  // The events a new registration receives for the data already here.
  Events initialEvents(const EventRegistrationPtr& registration) const;

 private:
  Events generateEventsForChanges(const std::vector<Change>& changes, const IndexedNode& eventCache,
                                  const EventRegistrationPtr& only) const;

  QuerySpec query_;
  ViewProcessor processor_;
  ViewCache viewCache_;
  std::vector<EventRegistrationPtr> registrations_;
  EventGenerator eventGenerator_;
};

}  // namespace dz::database
