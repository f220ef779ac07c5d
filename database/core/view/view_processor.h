// ViewProcessor: applies one operation to a view's caches through the view's filter, layering the
// pending writes over the server data, and reports the child changes (plus a value change once
// the data is complete). Keeps the view's children ranked for refilling a limited window between
// operations; work queue only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "database/core/operation.h"
#include "database/core/view/cache_node.h"
#include "database/core/view/change.h"
#include "database/core/view/node_filter.h"
#include "database/core/write_tree.h"

namespace dz::database {

// Complete server data at a view's location from another view, or null. Built on first use and
// then kept: most operations never refill a limited window, and views at one location share it.
// Also what the views at the location made of their server data during the operation: views that
// hold one server node take the node another made by the same update instead of each building a
// copy, so that they go on sharing one node rather than each keeping and walking its own. Used by
// the views of one location one after another, for one operation.
class CompleteServerData {
 public:
  CompleteServerData(NodePtr node = nullptr) : node_(std::move(node)) {}  // NOLINT
  explicit CompleteServerData(std::function<NodePtr()> build) : build_(std::move(build)) {}
  // The complete data after a server operation over `cache` (`cache` itself for other
  // operations): views that refill a limited window from it must see the data the operation
  // leaves, not the data before it. The operation outlives this.
  static CompleteServerData after(const Operation& operation, const NodePtr& cache);

  const NodePtr& node() const {
    if (build_) {
      node_ = build_();
      build_ = nullptr;
    }
    return node_;
  }

  // The node `server` became when `snap` was written at `path` here, when a view made it or this
  // data came about so; else null.
  NodePtr updateOf(const NodePtr& server, const Path& path, const NodePtr& snap) const;
  // Notes that a view made `updated` of `server` by writing `snap` at `path`.
  void noteUpdate(NodePtr server, const Path& path, NodePtr snap, NodePtr updated) const;

 private:
  struct Update {
    NodePtr server;
    Path path;
    NodePtr snap;
    NodePtr updated;
  };

  mutable NodePtr node_;
  mutable std::function<NodePtr()> build_;
  // The overwrite this data is the result of, over `before_`.
  NodePtr before_;
  const Operation* overwrite_ = nullptr;
  mutable std::vector<Update> updates_;
  // Views make the same updates in the same order: where the next one is likely noted.
  mutable size_t nextUpdate_ = 0;
};

struct ProcessorResult {
  ViewCache viewCache;
  std::vector<Change> changes;
};

class ViewProcessor {
 public:
  explicit ViewProcessor(std::unique_ptr<NodeFilter> filter) : filter_(std::move(filter)) {}

  const NodeFilter& filter() const { return *filter_; }

  // `completeCache` is complete server data at the view's location from another view, or null.
  // Without `childChanges` only the value change is reported.
  ProcessorResult applyOperation(const ViewCache& oldViewCache, const Operation& operation,
                                 const WriteTreeRef& writesCache,
                                 const CompleteServerData& completeCache,
                                 bool childChanges = true) const;

 private:
  ViewCache applyUserOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                               const NodePtr& changedSnap, const WriteTreeRef& writesCache,
                               const CompleteServerData& completeCache,
                               ChildChangeAccumulator& accumulator) const;
  ViewCache applyServerOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                                 const NodePtr& changedSnap, const WriteTreeRef& writesCache,
                                 const CompleteServerData& completeCache, bool filterServerNode,
                                 ChildChangeAccumulator& accumulator) const;
  ViewCache applyUserMerge(const ViewCache& viewCache, const Path& path,
                           const CompoundWrite& changedChildren, const WriteTreeRef& writesCache,
                           const CompleteServerData& completeCache,
                           ChildChangeAccumulator& accumulator) const;
  ViewCache applyServerMerge(const ViewCache& viewCache, const Path& path,
                             const CompoundWrite& changedChildren, const WriteTreeRef& writesCache,
                             const CompleteServerData& completeCache, bool filterServerNode,
                             ChildChangeAccumulator& accumulator) const;
  // The view with the priority that the pending writes, replayed over the server data, leave
  // on its data.
  ViewCache withLocalPriority(const ViewCache& viewCache, const WriteTreeRef& writesCache) const;
  ViewCache ackUserWrite(const ViewCache& viewCache, const Path& ackPath,
                         const AffectedTree& affectedTree, const WriteTreeRef& writesCache,
                         const CompleteServerData& completeCache,
                         ChildChangeAccumulator& accumulator) const;
  ViewCache revertUserWrite(const ViewCache& viewCache, const Path& path,
                            const WriteTreeRef& writesCache,
                            const CompleteServerData& completeCache,
                            ChildChangeAccumulator& accumulator) const;
  ViewCache listenComplete(const ViewCache& viewCache, const Path& path,
                           const WriteTreeRef& writesCache,
                           ChildChangeAccumulator& accumulator) const;
  ViewCache generateEventCacheAfterServerEvent(const ViewCache& viewCache, const Path& changePath,
                                               const WriteTreeRef& writesCache,
                                               const CompleteChildSource& source,
                                               ChildChangeAccumulator& accumulator) const;

  std::unique_ptr<NodeFilter> filter_;
  // Shared with the write tree, which notes in it the children its writes touch.
  std::shared_ptr<ChildRanking> ranking_ = std::make_shared<ChildRanking>();
};

}  // namespace dz::database
