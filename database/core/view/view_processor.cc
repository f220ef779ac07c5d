#include "database/core/view/view_processor.h"

#include <set>

namespace dz::database {

namespace {

// Complete children from the view's caches and the pending writes; refills limited windows.
class WriteTreeCompleteChildSource final : public CompleteChildSource {
 public:
  WriteTreeCompleteChildSource(const WriteTreeRef& writes, const ViewCache& viewCache,
                               const CompleteServerData& completeServerCache,
                               const std::shared_ptr<ChildRanking>& ranking)
      : writes_(writes),
        viewCache_(viewCache),
        completeServerCache_(completeServerCache),
        ranking_(ranking) {}

  NodePtr completeChild(const std::string& key) const override {
    const CacheNode& eventCache = viewCache_.eventCache();
    if (NodePtr child = eventCache.completeChild(key)) return child;
    if (const NodePtr& complete = completeServerCache_.node()) {
      CacheNode serverNode(IndexedNode(complete), true, false);
      return writes_.calcCompleteChild(key, serverNode);
    }
    return writes_.calcCompleteChild(key, viewCache_.serverCache());
  }

  std::optional<NamedNode> childAfterChild(const Index& index, const NamedNode& child,
                                           bool reverse) const override {
    const NodePtr& complete = completeServerCache_.node();
    if (!complete && viewCache_.serverCache().isFiltered()) {
      // Filtered server data holds whole children only: a write below any other child must not
      // make a child out of it.
      NodePtr serverData = viewCache_.serverCache().node();
      NodePtr children = writes_.calcCompleteEventChildren(
          serverData->isLeafNode() ? EmptyNode::emptyNode() : serverData);
      IndexPtr indexPtr = indexFor(index);
      std::optional<NamedNode> next;
      forEachIndexedChildFrom(IndexedNode(children, indexPtr), child, reverse,
                              [&](const NamedNode& candidate) {
                                if (indexPtr->compare(candidate, child) == 0) return false;
                                next = candidate;
                                return true;
                              });
      return next;
    }
    NodePtr serverData = complete ? complete : viewCache_.completeServerSnap();
    IndexPtr indexPtr = indexFor(index);
    std::vector<NamedNode> nodes =
        writes_.calcIndexedSlice(serverData, child, 1, reverse, indexPtr, ranking_);
    if (nodes.empty()) return std::nullopt;
    return nodes.front();
  }

 private:
  IndexPtr indexFor(const Index& index) const {
    const IndexPtr& eventIndex = viewCache_.eventCache().indexedNode().index();
    if (eventIndex && eventIndex->equals(index)) return eventIndex;
    return Index::fromQueryDefinition(index.queryDefinition());
  }

  const WriteTreeRef& writes_;
  const ViewCache& viewCache_;
  const CompleteServerData& completeServerCache_;
  const std::shared_ptr<ChildRanking>& ranking_;
};

// `childrenChanged`: whether the event data's children changed.
void maybeAddValueEvent(const ViewCache& oldViewCache, const ViewCache& newViewCache,
                        bool childrenChanged, std::vector<Change>& changes) {
  const CacheNode& eventSnap = newViewCache.eventCache();
  if (!eventSnap.isFullyInitialized()) return;
  const NodePtr& node = eventSnap.node();
  bool isLeafOrEmpty = node->isLeafNode() || node->isEmpty();
  NodePtr oldComplete = oldViewCache.completeEventSnap();
  if (childrenChanged || !oldViewCache.eventCache().isFullyInitialized() ||
      (isLeafOrEmpty && !nodesEqual(node, oldComplete)) ||
      !node->getPriority()->equals(
          *(oldComplete ? oldComplete->getPriority() : EmptyNode::emptyNode()))) {
    changes.push_back(Change::value(eventSnap.indexedNode()));
  }
}

Path singleKeyPath(const std::string& key) { return Path(std::vector<std::string>{key}); }

const Path& priorityPath() {
  static const Path* path = new Path(singleKeyPath(kPriorityKey));
  return *path;
}

// The priority a merge (`tree`, relative to the node) leaves on a node that keeps data: the one
// it writes there, else the one the node had; null when neither is known.
NodePtr priorityAfterMerge(const CompoundWrite& tree, const NodePtr& before) {
  if (NodePtr written = tree.completeNode(priorityPath())) return written;
  return before->isEmpty() ? nullptr : before->getPriority();
}

// A merge is one change, but a view applies its writes one by one: a node they empty on the way
// to new children comes back without its priority. Collects, by path below `at`, the priorities
// to set again where `after` lacks what the merge leaves.
void collectLostPriorities(const CompoundWrite& tree, const Path& at, const NodePtr& before,
                           const NodePtr& after, std::vector<std::pair<Path, NodePtr>>& lost) {
  if (tree.rootWrite() || after->isEmpty()) return;
  for (const auto& [key, childTree] : tree.childCompoundWrites()) {
    if (key == kPriorityKey) continue;
    collectLostPriorities(childTree, at.child(key), before->getImmediateChild(key),
                          after->getImmediateChild(key), lost);
  }
  NodePtr priority = priorityAfterMerge(tree, before);
  if (priority && !nodesEqual(priority, after->getPriority())) lost.emplace_back(at, priority);
}

}  // namespace

CompleteServerData CompleteServerData::after(const Operation& operation, const NodePtr& cache) {
  if (!cache || !operation.source().fromServer || operation.source().tagged()) return cache;
  if (operation.type() == Operation::Type::Overwrite) {
    CompleteServerData data(
        [&operation, cache] { return cache->updateChild(operation.path(), operation.snap()); });
    data.before_ = cache;
    data.overwrite_ = &operation;
    return data;
  }
  if (operation.type() == Operation::Type::Merge) {
    return CompleteServerData([&operation, cache] {
      const Path& path = operation.path();
      const CompoundWrite& children = operation.children();
      return (path.isEmpty() ? children : CompoundWrite().addWrites(path, children)).apply(cache);
    });
  }
  return cache;
}

NodePtr CompleteServerData::updateOf(const NodePtr& server, const Path& path,
                                     const NodePtr& snap) const {
  if (overwrite_ && server.get() == before_.get() && path == overwrite_->path() &&
      nodesEqual(snap, overwrite_->snap())) {
    return node();
  }
  for (size_t n = 0; n < updates_.size(); ++n) {
    size_t i = (nextUpdate_ + n) % updates_.size();
    const Update& update = updates_[i];
    if (update.server.get() == server.get() && update.path == path &&
        nodesEqual(update.snap, snap)) {
      nextUpdate_ = i + 1;
      return update.updated;
    }
  }
  return nullptr;
}

void CompleteServerData::noteUpdate(NodePtr server, const Path& path, NodePtr snap,
                                    NodePtr updated) const {
  updates_.push_back(Update{std::move(server), path, std::move(snap), std::move(updated)});
}

ProcessorResult ViewProcessor::applyOperation(const ViewCache& oldViewCache,
                                              const Operation& operation,
                                              const WriteTreeRef& writesCache,
                                              const CompleteServerData& completeCache,
                                              bool childChanges) const {
  ChildChangeAccumulator accumulator(childChanges);
  std::optional<ViewCache> newViewCache;
  const OperationSource& source = operation.source();
  switch (operation.type()) {
    case Operation::Type::Overwrite:
      if (source.fromUser) {
        newViewCache = applyUserOverwrite(oldViewCache, operation.path(), operation.snap(),
                                          writesCache, completeCache, accumulator);
      } else {
        // Tagged data is filtered; so is data below the root of an already filtered cache. At the
        // root the cache may become unfiltered again.
        bool filterServerNode = source.tagged() || (oldViewCache.serverCache().isFiltered() &&
                                                    !operation.path().isEmpty());
        newViewCache =
            applyServerOverwrite(oldViewCache, operation.path(), operation.snap(), writesCache,
                                 completeCache, filterServerNode, accumulator);
      }
      break;
    case Operation::Type::Merge:
      if (source.fromUser) {
        newViewCache = applyUserMerge(oldViewCache, operation.path(), operation.children(),
                                      writesCache, completeCache, accumulator);
      } else {
        bool filterServerNode = source.tagged() || oldViewCache.serverCache().isFiltered();
        newViewCache = applyServerMerge(oldViewCache, operation.path(), operation.children(),
                                        writesCache, completeCache, filterServerNode, accumulator);
      }
      break;
    case Operation::Type::AckUserWrite:
      if (!operation.revert()) {
        newViewCache = ackUserWrite(oldViewCache, operation.path(), *operation.affectedTree(),
                                    writesCache, completeCache, accumulator);
      } else {
        newViewCache = revertUserWrite(oldViewCache, operation.path(), writesCache, completeCache,
                                       accumulator);
      }
      break;
    case Operation::Type::ListenComplete:
      newViewCache = listenComplete(oldViewCache, operation.path(), writesCache, accumulator);
      break;
  }
  newViewCache = withLocalPriority(*newViewCache, writesCache);
  std::vector<Change> changes = accumulator.takeChanges();
  // Unrecorded child changes are exactly the difference of the two event nodes.
  const bool childrenChanged = childChanges ? !changes.empty()
                                            : !nodesEqual(oldViewCache.eventCache().node(),
                                                          newViewCache->eventCache().node());
  maybeAddValueEvent(oldViewCache, *newViewCache, childrenChanged, changes);
  return ProcessorResult{std::move(*newViewCache), std::move(changes)};
}

ViewCache ViewProcessor::generateEventCacheAfterServerEvent(
    const ViewCache& viewCache, const Path& changePath, const WriteTreeRef& writesCache,
    const CompleteChildSource& source, ChildChangeAccumulator& accumulator) const {
  const CacheNode& oldEventSnap = viewCache.eventCache();
  // A leaf shown while server children arrive below it: the location changes shape, and writes
  // below it now apply to the children. Recompute it whole.
  bool leafReplaced = !changePath.isEmpty() && oldEventSnap.node()->isLeafNode() &&
                      viewCache.serverCache().isFullyInitialized() &&
                      !viewCache.serverCache().node()->isLeafNode();
  bool recomputeAll = changePath.isEmpty() || leafReplaced;
  // Writes that cover the change usually hide it, but not always: a write below a leaf replaces
  // the leaf only while the leaf is there. The child is layered afresh below.
  IndexedNode newEventCache = oldEventSnap.indexedNode();
  if (recomputeAll) {
    if (viewCache.serverCache().isFiltered()) {
      // Deep writes over filtered server data may be incomplete: apply only complete children.
      NodePtr serverCache = viewCache.completeServerSnap();
      NodePtr completeChildren =
          serverCache && !serverCache->isLeafNode() ? serverCache : EmptyNode::emptyNode();
      NodePtr completeEventChildren = writesCache.calcCompleteEventChildren(completeChildren);
      newEventCache = filter_->updateFullNode(oldEventSnap.indexedNode(),
                                              IndexedNode(completeEventChildren, filter_->index()),
                                              &accumulator);
    } else {
      NodePtr completeNode = writesCache.calcCompleteEventCache(viewCache.completeServerSnap());
      if (!completeNode) completeNode = EmptyNode::emptyNode();
      newEventCache = filter_->updateFullNode(
          oldEventSnap.indexedNode(), IndexedNode(completeNode, filter_->index()), &accumulator);
    }
  } else {
    const std::string& childKey = changePath.front();
    if (childKey == kPriorityKey) {
      NodePtr updatedPriority = writesCache.calcEventCacheAfterServerOverwrite(
          changePath, oldEventSnap.node(), viewCache.serverCache().node());
      if (updatedPriority) {
        newEventCache = filter_->updatePriority(oldEventSnap.indexedNode(), updatedPriority);
      }
    } else {
      Path childChangePath = changePath.popFront();
      NodePtr oldChild = oldEventSnap.node()->getImmediateChild(childKey);
      NodePtr newEventChild;
      if (viewCache.serverCache().isCompleteForChild(childKey)) {
        newEventChild = writesCache.calcCompleteChild(childKey, viewCache.serverCache());
      } else if (viewCache.serverCache().isFiltered()) {
        // The child left the query's data: what it holds now is unknown, so only writes that
        // cover it completely can keep it.
        newEventChild = writesCache.calcCompleteChild(childKey, viewCache.serverCache());
        if (!newEventChild) newEventChild = EmptyNode::emptyNode();
      } else if (oldEventSnap.isCompleteChild(oldChild)) {
        NodePtr eventChildUpdate = writesCache.calcEventCacheAfterServerOverwrite(
            changePath, oldEventSnap.node(), viewCache.serverCache().node());
        newEventChild =
            eventChildUpdate ? oldChild->updateChild(childChangePath, eventChildUpdate) : oldChild;
      } else {
        newEventChild = writesCache.calcCompleteChild(childKey, viewCache.serverCache());
      }
      if (newEventChild) {
        newEventCache =
            filter_->updateChildFrom(oldEventSnap.indexedNode(), childKey, oldChild, newEventChild,
                                     childChangePath, source, &accumulator);
      }
    }
  }
  return viewCache.updateEventSnap(std::move(newEventCache),
                                   oldEventSnap.isFullyInitialized() || recomputeAll,
                                   filter_->filtersNodes());
}

ViewCache ViewProcessor::applyServerOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                                              const NodePtr& changedSnap,
                                              const WriteTreeRef& writesCache,
                                              const CompleteServerData& completeCache,
                                              bool filterServerNode,
                                              ChildChangeAccumulator& accumulator) const {
  const CacheNode& oldServerSnap = oldViewCache.serverCache();
  const NodeFilter& serverFilter =
      filterServerNode ? *filter_ : static_cast<const NodeFilter&>(filter_->indexedFilter());
  IndexedNode newServerCache = oldServerSnap.indexedNode();
  if (changePath.isEmpty()) {
    newServerCache = serverFilter.updateFullNode(
        oldServerSnap.indexedNode(), IndexedNode(changedSnap, serverFilter.index()), nullptr);
  } else if (serverFilter.filtersNodes() && !oldServerSnap.isFiltered()) {
    // The server data was not filtered yet: filter it whole.
    NodePtr newServerNode = oldServerSnap.node()->updateChild(changePath, changedSnap);
    newServerCache = serverFilter.updateFullNode(
        oldServerSnap.indexedNode(), IndexedNode(newServerNode, serverFilter.index()), nullptr);
  } else {
    const std::string& childKey = changePath.front();
    // Deep data for an incomplete child belongs to another listen.
    if (!oldServerSnap.isCompleteForPath(changePath) && changePath.size() > 1) return oldViewCache;
    Path childChangePath = changePath.popFront();
    NodePtr childNode = oldServerSnap.node()->getImmediateChild(childKey);
    const bool shareable = !serverFilter.filtersNodes() && childKey != kPriorityKey;
    if (NodePtr shared = shareable
                             ? completeCache.updateOf(oldServerSnap.node(), changePath, changedSnap)
                             : nullptr) {
      // Another view here made this update of the same server data: take the node it made.
      newServerCache = filter_->indexedFilter().updateChildTo(
          oldServerSnap.indexedNode(), childKey, childNode, shared->getImmediateChild(childKey),
          childChangePath, shared, nullptr);
    } else {
      NodePtr newChildNode = childNode->updateChild(childChangePath, changedSnap);
      if (childKey == kPriorityKey) {
        newServerCache = serverFilter.updatePriority(oldServerSnap.indexedNode(), newChildNode);
      } else {
        newServerCache = serverFilter.updateChildFrom(oldServerSnap.indexedNode(), childKey,
                                                      childNode, newChildNode, childChangePath,
                                                      NoCompleteChildSource::instance(), nullptr);
      }
      if (shareable) {
        completeCache.noteUpdate(oldServerSnap.node(), changePath, changedSnap,
                                 newServerCache.node());
      }
    }
  }
  ViewCache newViewCache = oldViewCache.updateServerSnap(
      std::move(newServerCache), oldServerSnap.isFullyInitialized() || changePath.isEmpty(),
      serverFilter.filtersNodes());
  WriteTreeCompleteChildSource source(writesCache, newViewCache, completeCache, ranking_);
  return generateEventCacheAfterServerEvent(newViewCache, changePath, writesCache, source,
                                            accumulator);
}

ViewCache ViewProcessor::applyUserOverwrite(const ViewCache& oldViewCache, const Path& changePath,
                                            const NodePtr& changedSnap,
                                            const WriteTreeRef& writesCache,
                                            const CompleteServerData& completeCache,
                                            ChildChangeAccumulator& accumulator) const {
  const CacheNode& oldEventSnap = oldViewCache.eventCache();
  WriteTreeCompleteChildSource source(writesCache, oldViewCache, completeCache, ranking_);
  if (changePath.isEmpty()) {
    IndexedNode newEventCache = filter_->updateFullNode(
        oldEventSnap.indexedNode(), IndexedNode(changedSnap, filter_->index()), &accumulator);
    return oldViewCache.updateEventSnap(std::move(newEventCache), true, filter_->filtersNodes());
  }
  const std::string& childKey = changePath.front();
  if (childKey == kPriorityKey) {
    IndexedNode newEventCache = filter_->updatePriority(oldEventSnap.indexedNode(), changedSnap);
    return oldViewCache.updateEventSnap(std::move(newEventCache), oldEventSnap.isFullyInitialized(),
                                        oldEventSnap.isFiltered());
  }
  Path childChangePath = changePath.popFront();
  NodePtr oldChild = oldEventSnap.node()->getImmediateChild(childKey);
  NodePtr newChild;
  if (childChangePath.isEmpty()) {
    newChild = changedSnap;
  } else {
    NodePtr childNode =
        oldEventSnap.isCompleteChild(oldChild) ? oldChild : source.completeChild(childKey);
    if (childNode) {
      if (childChangePath.back() == kPriorityKey &&
          childNode->getChild(*childChangePath.parent())->isEmpty()) {
        // A priority on a missing node: the server sends it with the node if the node exists.
        newChild = childNode;
      } else {
        newChild = childNode->updateChild(childChangePath, changedSnap);
      }
    } else {
      newChild = EmptyNode::emptyNode();
    }
  }
  if (oldChild->equals(*newChild)) return oldViewCache;
  IndexedNode newEventSnap =
      filter_->updateChildFrom(oldEventSnap.indexedNode(), childKey, oldChild, newChild,
                               childChangePath, source, &accumulator);
  return oldViewCache.updateEventSnap(std::move(newEventSnap), oldEventSnap.isFullyInitialized(),
                                      filter_->filtersNodes());
}

ViewCache ViewProcessor::applyUserMerge(const ViewCache& viewCache, const Path& path,
                                        const CompoundWrite& changedChildren,
                                        const WriteTreeRef& writesCache,
                                        const CompleteServerData& completeCache,
                                        ChildChangeAccumulator& accumulator) const {
  // Changes to children in view go first: in a limited window they may make room that the others
  // then fill.
  ViewCache current = viewCache;
  auto pass = [&](bool inView) {
    changedChildren.enumerateWrites([&](const Path& relativePath, const NodePtr& childNode) {
      Path writePath = path.child(relativePath);
      bool cached =
          writePath.isEmpty() || viewCache.eventCache().isCompleteForChild(writePath.front());
      if (cached == inView) {
        current = applyUserOverwrite(current, writePath, childNode, writesCache, completeCache,
                                     accumulator);
      }
      return false;
    });
  };
  pass(true);
  pass(false);
  CompoundWrite viewMergeTree =
      path.isEmpty() ? changedChildren : CompoundWrite().addWrites(path, changedChildren);
  std::vector<std::pair<Path, NodePtr>> lost;
  collectLostPriorities(viewMergeTree, Path(), viewCache.eventCache().node(),
                        current.eventCache().node(), lost);
  for (const auto& [at, priority] : lost) {
    current = applyUserOverwrite(current, at.child(kPriorityKey), priority, writesCache,
                                 completeCache, accumulator);
  }
  return current;
}

ViewCache ViewProcessor::withLocalPriority(const ViewCache& viewCache,
                                           const WriteTreeRef& writesCache) const {
  // Operations change children one by one, but whether the pending writes, replayed over the
  // server data, empty the location on the way (and so drop its priority) depends on them all.
  const CacheNode& event = viewCache.eventCache();
  if (filter_->filtersNodes() || !event.isFullyInitialized() || event.node()->isEmpty()) {
    return viewCache;
  }
  NodePtr priority = writesCache.calcCompletePriority(viewCache.completeServerSnap());
  if (!priority || nodesEqual(priority, event.node()->getPriority())) return viewCache;
  return viewCache.updateEventSnap(filter_->updatePriority(event.indexedNode(), priority), true,
                                   event.isFiltered());
}

ViewCache ViewProcessor::applyServerMerge(const ViewCache& viewCache, const Path& path,
                                          const CompoundWrite& changedChildren,
                                          const WriteTreeRef& writesCache,
                                          const CompleteServerData& completeCache,
                                          bool filterServerNode,
                                          ChildChangeAccumulator& accumulator) const {
  // Without server data the merge was meant for an earlier listen here; full data follows.
  if (viewCache.serverCache().node()->isEmpty() && !viewCache.serverCache().isFullyInitialized()) {
    return viewCache;
  }
  CompoundWrite viewMergeTree =
      path.isEmpty() ? changedChildren : CompoundWrite().addWrites(path, changedChildren);
  if (NodePtr root = viewMergeTree.rootWrite()) {
    return applyServerOverwrite(viewCache, Path(), root, writesCache, completeCache,
                                filterServerNode, accumulator);
  }
  ViewCache current = viewCache;
  const NodePtr serverNode = viewCache.serverCache().node();
  auto childMerges = viewMergeTree.childCompoundWrites();
  for (const auto& [childKey, childTree] : childMerges) {
    NodePtr serverChild = serverNode->getImmediateChild(childKey);
    if (!serverChild->isEmpty()) {
      NodePtr newChild = childTree.apply(serverChild);
      current = applyServerOverwrite(current, singleKeyPath(childKey), newChild, writesCache,
                                     completeCache, filterServerNode, accumulator);
    }
  }
  for (const auto& [childKey, childTree] : childMerges) {
    bool isUnknownDeepMerge =
        !viewCache.serverCache().isCompleteForChild(childKey) && !childTree.rootWrite();
    if (!isUnknownDeepMerge && !serverNode->hasChild(childKey)) {
      NodePtr newChild = childTree.apply(EmptyNode::emptyNode());
      current = applyServerOverwrite(current, singleKeyPath(childKey), newChild, writesCache,
                                     completeCache, filterServerNode, accumulator);
    }
  }
  // The children's own nodes kept their priorities as one change, but this node may have lost its
  // own while its children went and came.
  const NodePtr& priorityBefore = serverNode->getPriority();
  NodePtr written = viewMergeTree.completeNode(priorityPath());
  if (written || (!priorityBefore->isEmpty() && current.serverCache().node()->isEmpty())) {
    // The server's priority changed: the event data follows it as after a write of it alone.
    NodePtr priority =
        current.serverCache().node()->isEmpty() ? EmptyNode::emptyNode() : std::move(written);
    return applyServerOverwrite(current, priorityPath(), priority, writesCache, completeCache,
                                filterServerNode, accumulator);
  }
  // The event data is not mended here: withLocalPriority, at the end of every operation, gives it
  // the priority the pending writes leave over this server data.
  const CacheNode& server = current.serverCache();
  if (!server.node()->isEmpty() && !nodesEqual(server.node()->getPriority(), priorityBefore)) {
    const NodeFilter& serverFilter =
        filterServerNode ? *filter_ : static_cast<const NodeFilter&>(filter_->indexedFilter());
    current =
        current.updateServerSnap(serverFilter.updatePriority(server.indexedNode(), priorityBefore),
                                 server.isFullyInitialized(), server.isFiltered());
  }
  return current;
}

ViewCache ViewProcessor::ackUserWrite(const ViewCache& viewCache, const Path& ackPath,
                                      const AffectedTree& affectedTree,
                                      const WriteTreeRef& writesCache,
                                      const CompleteServerData& completeCache,
                                      ChildChangeAccumulator& accumulator) const {
  // Confirmed data becomes server data; filtered server data stays filtered.
  bool filterServerNode = viewCache.serverCache().isFiltered();
  const CacheNode& serverCache = viewCache.serverCache();
  if (filterServerNode) {
    // The query's own data says which children belong to it; a child the write kept in view
    // goes when that data lacks it and no other write covers it.
    std::set<std::string, KeyLess> keys;
    if (!ackPath.isEmpty()) {
      keys.insert(ackPath.front());
    } else if (affectedTree.value()) {
      for (const auto& entry : viewCache.eventCache().node()->children()) keys.insert(entry.key);
      for (const auto& entry : serverCache.node()->children()) keys.insert(entry.key);
    } else {
      affectedTree.forEach([&](const Path& path) {
        if (!path.isEmpty()) keys.insert(path.front());
      });
    }
    CompoundWrite changedChildren;
    for (const std::string& key : keys) {
      if (key == kPriorityKey) continue;
      changedChildren =
          changedChildren.addWrite(singleKeyPath(key), serverCache.node()->getImmediateChild(key));
    }
    return applyServerMerge(viewCache, Path(), changedChildren, writesCache, completeCache,
                            filterServerNode, accumulator);
  }
  if (affectedTree.value()) {
    if ((ackPath.isEmpty() && serverCache.isFullyInitialized()) ||
        serverCache.isCompleteForPath(ackPath)) {
      return applyServerOverwrite(viewCache, ackPath, serverCache.node()->getChild(ackPath),
                                  writesCache, completeCache, filterServerNode, accumulator);
    }
    if (ackPath.isEmpty()) {
      // Acknowledged at this location without full data: re-apply the children there are.
      CompoundWrite changedChildren;
      for (const auto& entry : serverCache.node()->children()) {
        changedChildren = changedChildren.addWrite(singleKeyPath(entry.key), entry.value);
      }
      return applyServerMerge(viewCache, ackPath, changedChildren, writesCache, completeCache,
                              filterServerNode, accumulator);
    }
    return viewCache;
  }
  CompoundWrite changedChildren;
  affectedTree.forEach([&](const Path& mergePath) {
    Path serverCachePath = ackPath.child(mergePath);
    if (serverCache.isCompleteForPath(serverCachePath)) {
      changedChildren =
          changedChildren.addWrite(mergePath, serverCache.node()->getChild(serverCachePath));
    }
  });
  return applyServerMerge(viewCache, ackPath, changedChildren, writesCache, completeCache,
                          filterServerNode, accumulator);
}

ViewCache ViewProcessor::listenComplete(const ViewCache& viewCache, const Path& path,
                                        const WriteTreeRef& writesCache,
                                        ChildChangeAccumulator& accumulator) const {
  const CacheNode& oldServerNode = viewCache.serverCache();
  ViewCache newViewCache = viewCache.updateServerSnap(
      oldServerNode.indexedNode(), oldServerNode.isFullyInitialized() || path.isEmpty(),
      oldServerNode.isFiltered());
  return generateEventCacheAfterServerEvent(newViewCache, path, writesCache,
                                            NoCompleteChildSource::instance(), accumulator);
}

ViewCache ViewProcessor::revertUserWrite(const ViewCache& viewCache, const Path& path,
                                         const WriteTreeRef& writesCache,
                                         const CompleteServerData& completeCache,
                                         ChildChangeAccumulator& accumulator) const {
  // Even where a later write covers the reverted one, data above it may change: the reverted
  // write may have turned a leaf into children that the later write then emptied.
  WriteTreeCompleteChildSource source(writesCache, viewCache, completeCache, ranking_);
  const IndexedNode& oldEventCache = viewCache.eventCache().indexedNode();
  IndexedNode newEventCache = oldEventCache;
  const CacheNode& serverCache = viewCache.serverCache();
  if (path.isEmpty() || path.front() == kPriorityKey) {
    NodePtr newNode;
    // Writes below children that filtered server data lacks must not make children of them.
    if (serverCache.isFullyInitialized() && !serverCache.isFiltered()) {
      newNode = writesCache.calcCompleteEventCache(viewCache.completeServerSnap());
    } else {
      NodePtr serverChildren = serverCache.node();
      newNode = writesCache.calcCompleteEventChildren(
          serverChildren->isLeafNode() ? EmptyNode::emptyNode() : serverChildren);
    }
    if (!newNode) newNode = EmptyNode::emptyNode();
    newEventCache = filter_->updateFullNode(oldEventCache, IndexedNode(newNode, filter_->index()),
                                            &accumulator);
  } else {
    const std::string& childKey = path.front();
    NodePtr newChild = writesCache.calcCompleteChild(childKey, serverCache);
    if (!newChild && serverCache.isCompleteForChild(childKey)) {
      newChild = oldEventCache.node()->getImmediateChild(childKey);
    }
    if (newChild) {
      newEventCache = filter_->updateChild(oldEventCache, childKey, newChild, path.popFront(),
                                           source, &accumulator);
    } else if (viewCache.eventCache().node()->hasChild(childKey)) {
      // No complete child left: drop the one shown.
      newEventCache = filter_->updateChild(oldEventCache, childKey, EmptyNode::emptyNode(),
                                           path.popFront(), source, &accumulator);
    }
    if (newEventCache.node()->isEmpty() && serverCache.isFullyInitialized() &&
        !serverCache.isFiltered()) {
      // Every child write may be gone while the data underneath was a leaf.
      NodePtr complete = writesCache.calcCompleteEventCache(viewCache.completeServerSnap());
      if (complete && complete->isLeafNode()) {
        newEventCache = filter_->updateFullNode(
            newEventCache, IndexedNode(complete, filter_->index()), &accumulator);
      }
    }
  }
  bool complete = serverCache.isFullyInitialized() || writesCache.shadowingWrite(Path());
  return viewCache.updateEventSnap(std::move(newEventCache), complete, filter_->filtersNodes());
}

}  // namespace dz::database
