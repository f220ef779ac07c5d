// SyncPoint: the views at one location, one per distinct query (queries that load all data are
// served from complete views and share the location's default listen). Owned by the sync tree;
// work queue only.
#pragma once

#include <memory>
#include <vector>

#include "database/core/operation.h"
#include "database/core/view/event_registration.h"
#include "database/core/view/view.h"
#include "database/core/write_tree.h"
#include "database/snapshot/query_spec.h"

namespace dz::database {

class SyncPoint {
 public:
  SyncPoint() = default;
  SyncPoint(const SyncPoint&) = delete;
  SyncPoint& operator=(const SyncPoint&) = delete;

  bool isEmpty() const { return views_.empty(); }

  // Applies to the view of the operation's tagged query, or to every view.
  Events applyOperation(const Operation& operation, const WriteTreeRef& writesCache,
                        const CompleteServerData& optCompleteServerCache);

  // Adds the registration to the query's view (made from the given caches when missing) and
  // returns its initial events.
  Events addEventRegistration(const QuerySpec& query, EventRegistrationPtr registration,
                              const WriteTreeRef& writesCache, const NodePtr& serverCache,
                              bool serverCacheComplete);

  struct Removal {
    std::vector<QuerySpec> removedQueries;
    Events cancelEvents;
  };
  // Removes matching registrations; a default query removes from every view here. Returns the
  // queries whose views went away (a lost last complete view is reported as the default query).
  Removal removeEventRegistration(const QuerySpec& query, const EventRegistrationPtr& registration,
                                  const ErrorPtr& cancelError);

  // The views of queries that do not load all data.
  std::vector<View*> queryViews() const;
  // Complete server data at `path` below this location from any view, or null.
  NodePtr completeServerCache(const Path& path) const;
  // The view serving the query: any complete view for a query that loads all data.
  View* viewForQuery(const QuerySpec& query) const;
  bool viewExistsForQuery(const QuerySpec& query) const { return viewForQuery(query) != nullptr; }
  bool hasCompleteView() const { return completeView() != nullptr; }
  View* completeView() const;
  const std::vector<std::shared_ptr<View>>& views() const { return views_; }

 private:
  View* exactView(const QuerySpec& query) const;

  std::vector<std::shared_ptr<View>> views_;
};

}  // namespace dz::database
