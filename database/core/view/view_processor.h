// ViewProcessor: applies one operation to a view's caches through the view's filter, layering the
// pending writes over the server data, and reports the child changes (plus a value change once
// the data is complete). Keeps the view's children ranked for refilling a limited window between
// operations; work queue only.
#pragma once

#include <memory>
#include <vector>

#include "database/core/operation.h"
#include "database/core/view/cache_node.h"
#include "database/core/view/change.h"
#include "database/core/view/node_filter.h"
#include "database/core/write_tree.h"

namespace dz::database {

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
                                 const WriteTreeRef& writesCache, const NodePtr& completeCache,
                                 bool childChanges = true) const;

 private:
  ViewCache applyUserOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                               const NodePtr& changedSnap, const WriteTreeRef& writesCache,
                               const NodePtr& completeCache,
                               ChildChangeAccumulator& accumulator) const;
  ViewCache applyServerOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                                 const NodePtr& changedSnap, const WriteTreeRef& writesCache,
                                 const NodePtr& completeCache, bool filterServerNode,
                                 ChildChangeAccumulator& accumulator) const;
  ViewCache applyUserMerge(const ViewCache& viewCache, const Path& path,
                           const CompoundWrite& changedChildren, const WriteTreeRef& writesCache,
                           const NodePtr& completeCache, ChildChangeAccumulator& accumulator) const;
  ViewCache applyServerMerge(const ViewCache& viewCache, const Path& path,
                             const CompoundWrite& changedChildren, const WriteTreeRef& writesCache,
                             const NodePtr& completeCache, bool filterServerNode,
                             ChildChangeAccumulator& accumulator) const;
  ViewCache ackUserWrite(const ViewCache& viewCache, const Path& ackPath,
                         const AffectedTree& affectedTree, const WriteTreeRef& writesCache,
                         const NodePtr& completeCache, ChildChangeAccumulator& accumulator) const;
  ViewCache revertUserWrite(const ViewCache& viewCache, const Path& path,
                            const WriteTreeRef& writesCache, const NodePtr& completeCache,
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
