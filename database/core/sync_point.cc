#include "database/core/sync_point.h"

namespace dz::database {

Events SyncPoint::applyOperation(const Operation& operation, const WriteTreeRef& writesCache,
                                 const CompleteServerData& optCompleteServerCache) {
  const OperationSource& source = operation.source();
  if (source.tagged()) {
    for (const auto& view : views_) {
      if (view->query().params() == *source.queryParams) {
        return view->applyOperation(operation, writesCache, optCompleteServerCache);
      }
    }
    return {};
  }
  Events events;
  for (const auto& view : views_) {
    Events viewEvents = view->applyOperation(operation, writesCache, optCompleteServerCache);
    events.insert(events.end(), std::make_move_iterator(viewEvents.begin()),
                  std::make_move_iterator(viewEvents.end()));
  }
  return events;
}

View* SyncPoint::exactView(const QuerySpec& query) const {
  for (const auto& view : views_) {
    if (view->query().params() == query.params()) return view.get();
  }
  return nullptr;
}

Events SyncPoint::addEventRegistration(const QuerySpec& query, EventRegistrationPtr registration,
                                       const WriteTreeRef& writesCache, const NodePtr& serverCache,
                                       bool serverCacheComplete) {
  View* view = exactView(query);
  if (!view) {
    NodePtr eventCache =
        writesCache.calcCompleteEventCache(serverCacheComplete ? serverCache : nullptr);
    bool eventCacheComplete = false;
    if (eventCache) {
      eventCacheComplete = true;
    } else if (serverCache && !serverCache->isLeafNode()) {
      eventCache = writesCache.calcCompleteEventChildren(serverCache);
    } else {
      eventCache = EmptyNode::emptyNode();
    }
    ViewCache viewCache(
        CacheNode(IndexedNode(eventCache, query.params().index()), eventCacheComplete, false),
        CacheNode(
            IndexedNode(serverCache ? serverCache : EmptyNode::emptyNode(), query.params().index()),
            serverCacheComplete, false));
    views_.push_back(std::make_shared<View>(query, viewCache));
    view = views_.back().get();
  }
  view->addEventRegistration(registration);
  return view->initialEvents(registration);
}

SyncPoint::Removal SyncPoint::removeEventRegistration(const QuerySpec& query,
                                                      const EventRegistrationPtr& registration,
                                                      const ErrorPtr& cancelError) {
  Removal removal;
  bool hadCompleteView = hasCompleteView();
  auto removeFrom = [&](size_t index) {
    View& view = *views_[index];
    Events events = view.removeEventRegistration(registration, cancelError);
    removal.cancelEvents.insert(removal.cancelEvents.end(), std::make_move_iterator(events.begin()),
                                std::make_move_iterator(events.end()));
    if (view.isEmpty()) {
      if (!view.query().loadsAllData()) removal.removedQueries.push_back(view.query());
      views_.erase(views_.begin() + index);
      return true;
    }
    return false;
  };
  if (query.isDefault()) {
    // Removal at a location reaches every view there.
    for (size_t i = 0; i < views_.size();) {
      if (!removeFrom(i)) ++i;
    }
  } else {
    for (size_t i = 0; i < views_.size(); ++i) {
      if (views_[i]->query().params() == query.params()) {
        removeFrom(i);
        break;
      }
    }
  }
  if (hadCompleteView && !hasCompleteView()) {
    removal.removedQueries.push_back(QuerySpec::defaultQueryAtPath(query.path()));
  }
  return removal;
}

std::vector<View*> SyncPoint::queryViews() const {
  std::vector<View*> result;
  for (const auto& view : views_) {
    if (!view->query().loadsAllData()) result.push_back(view.get());
  }
  return result;
}

NodePtr SyncPoint::completeServerCache(const Path& path) const {
  for (const auto& view : views_) {
    if (NodePtr cache = view->completeServerCache(path)) return cache;
  }
  return nullptr;
}

View* SyncPoint::viewForQuery(const QuerySpec& query) const {
  if (query.loadsAllData()) return completeView();
  return exactView(query);
}

View* SyncPoint::completeView() const {
  for (const auto& view : views_) {
    if (view->query().loadsAllData()) return view.get();
  }
  return nullptr;
}

}  // namespace dz::database
