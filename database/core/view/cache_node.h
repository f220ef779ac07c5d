// CacheNode: a node a view keeps (server data or event data) with whether it is complete
// ("fully initialized": a listen completed or a complete write covers it) and whether a query
// filter trimmed it. ViewCache: the pair of them a view holds. Immutable values.
#pragma once

#include <string>

#include "database/snapshot/indexed_node.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class CacheNode {
 public:
  CacheNode(IndexedNode node, bool fullyInitialized, bool filtered)
      : indexedNode_(std::move(node)), fullyInitialized_(fullyInitialized), filtered_(filtered) {}

  const IndexedNode& indexedNode() const { return indexedNode_; }
  const NodePtr& node() const { return indexedNode_.node(); }
  bool isFullyInitialized() const { return fullyInitialized_; }
  bool isFiltered() const { return filtered_; }

  // Whether the data at `path` is known completely (the root: complete and unfiltered).
  bool isCompleteForPath(const Path& path) const {
    if (path.isEmpty()) return fullyInitialized_ && !filtered_;
    return isCompleteForChild(path.front());
  }
  bool isCompleteForChild(const std::string& key) const {
    return (fullyInitialized_ && !filtered_) || node()->hasChild(key);
  }
  // Whether a child, as getImmediateChild found it here, is known completely.
  bool isCompleteChild(const NodePtr& child) const {
    return (fullyInitialized_ && !filtered_) || !child->isEmpty();
  }
  // The child under `key` when it is known completely, else null: one look-up for both.
  NodePtr completeChild(const std::string& key) const {
    NodePtr child = node()->getImmediateChild(key);
    return isCompleteChild(child) ? child : nullptr;
  }

 private:
  IndexedNode indexedNode_;
  bool fullyInitialized_;
  bool filtered_;
};

class ViewCache {
 public:
  ViewCache(CacheNode eventCache, CacheNode serverCache)
      : eventCache_(std::move(eventCache)), serverCache_(std::move(serverCache)) {}

  const CacheNode& eventCache() const { return eventCache_; }
  const CacheNode& serverCache() const { return serverCache_; }

  ViewCache updateEventSnap(IndexedNode snap, bool complete, bool filtered) const {
    return ViewCache(CacheNode(std::move(snap), complete, filtered), serverCache_);
  }
  ViewCache updateServerSnap(IndexedNode snap, bool complete, bool filtered) const {
    return ViewCache(eventCache_, CacheNode(std::move(snap), complete, filtered));
  }

  // The event data when it is complete, else null.
  NodePtr completeEventSnap() const {
    return eventCache_.isFullyInitialized() ? eventCache_.node() : nullptr;
  }
  // The server data when it is complete, else null.
  NodePtr completeServerSnap() const {
    return serverCache_.isFullyInitialized() ? serverCache_.node() : nullptr;
  }

 private:
  CacheNode eventCache_;
  CacheNode serverCache_;
};

}  // namespace dz::database
