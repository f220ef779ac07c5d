#include "database/core/sync_tree.h"

#include <algorithm>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "database/utilities/utilities.h"
#include "platform/queue_check.h"

namespace dz::database {

namespace {

constexpr char kSyncTreeLogCode[] = "I-RDB08502";
constexpr size_t kSizeThresholdForCompoundHash = 1024;

// What a listen sends about the view's server data; reads the view when the listen goes out.
class ListenContainer final : public SyncTreeHash {
 public:
  explicit ListenContainer(std::shared_ptr<View> view) : view_(std::move(view)) {}

  std::string simpleHash() const override { return view_->serverCache()->dataHash(); }
  CompoundHash compoundHash() const override {
    return CompoundHash::fromNode(*view_->serverCache());
  }
  bool includeCompoundHash() const override {
    return SnapshotUtilities::estimateSerializedNodeSize(*view_->serverCache()) >
           kSizeThresholdForCompoundHash;
  }

 private:
  std::shared_ptr<View> view_;
};

}  // namespace

struct SyncTree::Node {
  std::unique_ptr<SyncPoint> value;
  std::map<std::string, std::unique_ptr<Node>, KeyLess> children;

  bool isEmpty() const { return !value && children.empty(); }
};

std::shared_ptr<SyncTree> SyncTree::create(platform::DispatchQueuePtr queue,
                                           std::shared_ptr<ListenProvider> listenProvider,
                                           std::shared_ptr<PersistenceManager> persistence) {
  return std::shared_ptr<SyncTree>(
      new SyncTree(std::move(queue), std::move(listenProvider), std::move(persistence)));
}

SyncTree::SyncTree(platform::DispatchQueuePtr queue, std::shared_ptr<ListenProvider> listenProvider,
                   std::shared_ptr<PersistenceManager> persistence)
    : queue_(std::move(queue)),
      listenProvider_(listenProvider ? std::move(listenProvider)
                                     : std::make_shared<ListenProvider>()),
      persistence_(std::move(persistence)),
      root_(std::make_unique<Node>()) {}

// ---- the tree of sync points ----

SyncTree::Node* SyncTree::subtreeAt(const Path& path) const {
  Node* node = root_.get();
  for (const auto& key : path.keys()) {
    auto it = node->children.find(key);
    if (it == node->children.end()) return nullptr;
    node = it->second.get();
  }
  return node;
}

SyncPoint* SyncTree::syncPointAt(const Path& path) const {
  Node* node = subtreeAt(path);
  return node ? node->value.get() : nullptr;
}

void SyncTree::pruneEmpty(const Path& path) {
  std::vector<Node*> chain{root_.get()};
  for (const auto& key : path.keys()) {
    auto it = chain.back()->children.find(key);
    if (it == chain.back()->children.end()) return;
    chain.push_back(it->second.get());
  }
  if (chain.back()->value && chain.back()->value->isEmpty()) chain.back()->value.reset();
  for (size_t i = chain.size() - 1; i > 0; --i) {
    if (!chain[i]->isEmpty()) break;
    chain[i - 1]->children.erase(path[i - 1]);
  }
}

// ---- writes ----

Events SyncTree::applyUserOverwrite(const Path& path, NodePtr newData, WriteId writeId,
                                    bool visible) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!newData) newData = EmptyNode::emptyNode();
  if (!pendingWriteTree_.addOverwrite(path, newData, writeId, visible)) {
    logWarning(kSyncTreeLogCode,
               "Ignoring a write whose id does not increase: " + std::to_string(writeId));
    return {};
  }
  if (!visible) return {};
  return applyOperationToSyncPoints(
      Operation::overwrite(OperationSource::user(), path, std::move(newData)));
}

Events SyncTree::applyUserMerge(const Path& path, const CompoundWrite& changedChildren,
                                WriteId writeId) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!pendingWriteTree_.addMerge(path, changedChildren, writeId)) {
    logWarning(kSyncTreeLogCode,
               "Ignoring a write whose id does not increase: " + std::to_string(writeId));
    return {};
  }
  return applyOperationToSyncPoints(
      Operation::merge(OperationSource::user(), path, changedChildren));
}

Events SyncTree::ackUserWrite(WriteId writeId, bool revert, bool persist, const Clock&) {
  DZ_ASSERT_ON_QUEUE(queue_);
  const WriteRecord* found = pendingWriteTree_.write(writeId);
  if (!found) {
    logWarning(kSyncTreeLogCode,
               "Acknowledgement for an unknown write: " + std::to_string(writeId));
    if (persist && persistence_) persistence_->removeUserWrite(writeId);
    return {};
  }
  WriteRecord write = *found;
  bool needToReevaluate = pendingWriteTree_.removeWrite(writeId);
  // Stored writes are sent again at every start: a confirmed or refused one must go.
  if (persist && persistence_) persistence_->removeUserWrite(writeId);
  if (!needToReevaluate) return {};
  AffectedTreePtr affected;
  if (write.isOverwrite()) {
    affected = AffectedTree::root();
  } else {
    affected = std::make_shared<AffectedTree>();
    write.merge().enumerateWrites([&](const Path& path, const NodePtr&) {
      affected = affected->set(path);
      return false;
    });
  }
  return applyOperationToSyncPoints(Operation::ackUserWrite(write.path(), affected, revert));
}

Events SyncTree::removeAllWrites() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (persistence_) persistence_->removeAllUserWrites();
  std::vector<WriteRecord> removed = pendingWriteTree_.removeAllWrites();
  if (removed.empty()) return {};
  return applyOperationToSyncPoints(Operation::ackUserWrite(Path(), AffectedTree::root(), true));
}

// ---- server data ----

Events SyncTree::applyServerOverwrite(const Path& path, NodePtr newData) {
  DZ_ASSERT_ON_QUEUE(queue_);
  return applyOperationToSyncPoints(Operation::overwrite(
      OperationSource::server(), path, newData ? std::move(newData) : EmptyNode::emptyNode()));
}

Events SyncTree::applyServerMerge(const Path& path, const CompoundWrite& changedChildren) {
  DZ_ASSERT_ON_QUEUE(queue_);
  return applyOperationToSyncPoints(
      Operation::merge(OperationSource::server(), path, changedChildren));
}

Events SyncTree::applyServerRangeMerge(const Path& path, const std::vector<RangeMerge>& updates) {
  DZ_ASSERT_ON_QUEUE(queue_);
  SyncPoint* syncPoint = syncPointAt(path);
  // No views here: nobody listens, so nothing to update.
  if (!syncPoint) return {};
  // Every complete view here holds the same server data. Before the listen completes the ranges
  // replace parts of the data its hash described: the default view's server data so far.
  NodePtr serverCache = syncPoint->completeServerCache(Path());
  if (!serverCache) {
    if (View* view = syncPoint->completeView()) serverCache = view->serverCache();
  }
  NodePtr updated = serverCache ? serverCache : EmptyNode::emptyNode();
  for (const auto& merge : updates) updated = merge.applyTo(updated);
  return applyServerOverwrite(path, updated);
}

Events SyncTree::applyListenComplete(const Path& path) {
  DZ_ASSERT_ON_QUEUE(queue_);
  return applyOperationToSyncPoints(Operation::listenComplete(OperationSource::server(), path));
}

std::optional<QuerySpec> SyncTree::queryForTag(QueryTag tag) const {
  auto it = tagToQuery_.find(tag);
  if (it == tagToQuery_.end()) return std::nullopt;
  return it->second;
}

std::optional<QueryTag> SyncTree::tagForQuery(const QuerySpec& query) const {
  DZ_ASSERT_ON_QUEUE(queue_);
  auto it = queryToTag_.find(query);
  if (it == queryToTag_.end()) return std::nullopt;
  return it->second;
}

std::optional<Path> SyncTree::taggedRelativePath(const QuerySpec& query, const Path& path) const {
  if (!query.path().contains(path)) {
    logWarning(kSyncTreeLogCode, "Ignoring tagged data at " + path.toString() +
                                     " outside its query at " + query.path().toString());
    return std::nullopt;
  }
  return Path::relativePath(query.path(), path);
}

Events SyncTree::applyTaggedOperation(const QuerySpec& query, const Operation& operation) {
  SyncPoint* syncPoint = syncPointAt(query.path());
  if (!syncPoint) return {};
  return syncPoint->applyOperation(operation, pendingWriteTree_.childWrites(query.path()), {});
}

Events SyncTree::applyTaggedQueryOverwrite(const Path& path, NodePtr newData, QueryTag tag) {
  DZ_ASSERT_ON_QUEUE(queue_);
  std::optional<QuerySpec> query = queryForTag(tag);
  if (!query) return {};  // the query is gone already
  std::optional<Path> relative = taggedRelativePath(*query, path);
  if (!relative) return {};
  return applyTaggedOperation(
      *query,
      Operation::overwrite(OperationSource::forServerTaggedQuery(query->params()), *relative,
                           newData ? std::move(newData) : EmptyNode::emptyNode()));
}

Events SyncTree::applyTaggedQueryMerge(const Path& path, const CompoundWrite& changedChildren,
                                       QueryTag tag) {
  DZ_ASSERT_ON_QUEUE(queue_);
  std::optional<QuerySpec> query = queryForTag(tag);
  if (!query) return {};
  std::optional<Path> relative = taggedRelativePath(*query, path);
  if (!relative) return {};
  return applyTaggedOperation(
      *query, Operation::merge(OperationSource::forServerTaggedQuery(query->params()), *relative,
                               changedChildren));
}

Events SyncTree::applyTaggedServerRangeMerge(const Path& path,
                                             const std::vector<RangeMerge>& updates, QueryTag tag) {
  DZ_ASSERT_ON_QUEUE(queue_);
  std::optional<QuerySpec> query = queryForTag(tag);
  if (!query) return {};
  if (!(path == query->path())) {
    logWarning(kSyncTreeLogCode, "Ignoring a tagged range merge at " + path.toString() +
                                     " for a query at " + query->path().toString());
    return {};
  }
  SyncPoint* syncPoint = syncPointAt(query->path());
  View* view = syncPoint ? syncPoint->viewForQuery(*query) : nullptr;
  if (!view) return {};
  // The query's own server data (complete for the query though filtered, or what its listen's
  // hash described while the listen is under way). Ranges replace parts of it; the rest stays.
  NodePtr updated = view->serverCache();
  for (const auto& merge : updates) updated = merge.applyTo(updated);
  return applyTaggedQueryOverwrite(path, updated, tag);
}

Events SyncTree::applyTaggedListenComplete(const Path& path, QueryTag tag) {
  DZ_ASSERT_ON_QUEUE(queue_);
  std::optional<QuerySpec> query = queryForTag(tag);
  if (!query) return {};
  std::optional<Path> relative = taggedRelativePath(*query, path);
  if (!relative) return {};
  return applyTaggedOperation(
      *query,
      Operation::listenComplete(OperationSource::forServerTaggedQuery(query->params()), *relative));
}

// ---- applying operations down the tree ----

Events SyncTree::applyOperationToSyncPoints(const Operation& operation) {
  return applyOperationHelper(operation, *root_, nullptr, pendingWriteTree_.childWrites(Path()));
}

Events SyncTree::applyOperationHelper(const Operation& operation, Node& tree, NodePtr serverCache,
                                      const WriteTreeRef& writesCache) {
  if (operation.path().isEmpty()) {
    return applyOperationDescendantsHelper(operation, tree, std::move(serverCache), writesCache);
  }
  SyncPoint* syncPoint = tree.value.get();
  if (!serverCache && syncPoint) serverCache = syncPoint->completeServerCache(Path());
  Events events;
  const std::string& childKey = operation.path().front();
  auto it = tree.children.find(childKey);
  if (it != tree.children.end()) {
    if (std::optional<Operation> childOperation = operation.operationForChild(childKey)) {
      NodePtr childServerCache = serverCache ? serverCache->getImmediateChild(childKey) : nullptr;
      events = applyOperationHelper(*childOperation, *it->second, childServerCache,
                                    writesCache.child(childKey));
    }
  }
  if (syncPoint) {
    append(events, syncPoint->applyOperation(operation, writesCache,
                                             CompleteServerData::after(operation, serverCache)));
  }
  return events;
}

Events SyncTree::applyOperationDescendantsHelper(const Operation& operation, Node& tree,
                                                 NodePtr serverCache,
                                                 const WriteTreeRef& writesCache) {
  SyncPoint* syncPoint = tree.value.get();
  if (!serverCache && syncPoint) serverCache = syncPoint->completeServerCache(Path());
  Events events;
  for (auto& [childKey, childTree] : tree.children) {
    std::optional<Operation> childOperation = operation.operationForChild(childKey);
    if (!childOperation) continue;
    NodePtr childServerCache = serverCache ? serverCache->getImmediateChild(childKey) : nullptr;
    append(events, applyOperationDescendantsHelper(*childOperation, *childTree, childServerCache,
                                                   writesCache.child(childKey)));
  }
  if (syncPoint) {
    append(events, syncPoint->applyOperation(operation, writesCache,
                                             CompleteServerData::after(operation, serverCache)));
  }
  return events;
}

// ---- registrations and listens ----

QuerySpec SyncTree::queryForListening(const QuerySpec& query) {
  // Queries that load all data listen as the default query.
  if (query.loadsAllData() && !query.isDefault())
    return QuerySpec::defaultQueryAtPath(query.path());
  return query;
}

Events SyncTree::addEventRegistration(EventRegistrationPtr registration, const QuerySpec& query) {
  DZ_ASSERT_ON_QUEUE(queue_);
  const Path& path = query.path();
  bool foundAncestorDefaultView = false;
  {
    Node* node = root_.get();
    if (node->value && node->value->hasCompleteView()) foundAncestorDefaultView = true;
    for (const auto& key : path.keys()) {
      if (foundAncestorDefaultView) break;
      auto it = node->children.find(key);
      if (it == node->children.end()) break;
      node = it->second.get();
      if (node->value && node->value->hasCompleteView()) foundAncestorDefaultView = true;
    }
  }

  // Complete server data from this location or above, else what the children know.
  NodePtr serverCache;
  bool serverCacheComplete = false;
  {
    Node* node = root_.get();
    Path pathSoFar;
    auto tryPoint = [&](Node* n, const Path& at) {
      if (n->value) serverCache = n->value->completeServerCache(Path::relativePath(at, path));
      return serverCache != nullptr;
    };
    bool found = tryPoint(node, pathSoFar);
    for (size_t i = 0; !found && i < path.size(); ++i) {
      auto it = node->children.find(path[i]);
      if (it == node->children.end()) break;
      node = it->second.get();
      pathSoFar = pathSoFar.child(path[i]);
      found = tryPoint(node, pathSoFar);
    }
    serverCacheComplete = found;
  }
  if (!serverCacheComplete) {
    NodePtr children = EmptyNode::emptyNode();
    if (Node* subtree = subtreeAt(path)) {
      for (const auto& [childKey, childTree] : subtree->children) {
        if (!childTree->value) continue;
        if (NodePtr complete = childTree->value->completeServerCache(Path())) {
          children = children->updateImmediateChild(childKey, complete);
        }
      }
    }
    serverCache = children;
  }

  // The sync point at the path, made on demand.
  Node* node = root_.get();
  for (const auto& key : path.keys()) {
    auto& child = node->children[key];
    if (!child) child = std::make_unique<Node>();
    node = child.get();
  }
  if (!node->value) node->value = std::make_unique<SyncPoint>();
  SyncPoint& syncPoint = *node->value;

  bool viewAlreadyExists = syncPoint.viewExistsForQuery(query);
  if (!viewAlreadyExists && !query.loadsAllData() && !queryToTag_.count(query)) {
    QueryTag tag = nextQueryTag_++;
    queryToTag_.emplace(query, tag);
    tagToQuery_.emplace(tag, query);
  }
  Events events = syncPoint.addEventRegistration(query, std::move(registration),
                                                 pendingWriteTree_.childWrites(path), serverCache,
                                                 serverCacheComplete);
  if (!viewAlreadyExists && !foundAncestorDefaultView) {
    std::shared_ptr<View> view;
    for (const auto& v : syncPoint.views()) {
      if (v->query().params() == query.params()) view = v;
    }
    if (view) append(events, setupListener(query, view));
  }
  return events;
}

Events SyncTree::removeEventRegistration(const EventRegistrationPtr& registration,
                                         const QuerySpec& query, const ErrorPtr& cancelError) {
  DZ_ASSERT_ON_QUEUE(queue_);
  const Path& path = query.path();
  SyncPoint* syncPoint = syncPointAt(path);
  // A default query removes from every view here; another query only from its own view.
  if (!syncPoint || !(query.isDefault() || syncPoint->viewExistsForQuery(query))) return {};
  SyncPoint::Removal removal = syncPoint->removeEventRegistration(query, registration, cancelError);
  if (syncPoint->isEmpty()) pruneEmpty(path);
  const std::vector<QuerySpec>& removed = removal.removedQueries;
  bool removingDefault = std::any_of(removed.begin(), removed.end(),
                                     [](const QuerySpec& q) { return q.loadsAllData(); });
  bool covered = false;
  {
    Node* node = root_.get();
    if (node->value && node->value->hasCompleteView()) covered = true;
    for (size_t i = 0; !covered && i < path.size(); ++i) {
      auto it = node->children.find(path[i]);
      if (it == node->children.end()) break;
      node = it->second.get();
      if (node->value && node->value->hasCompleteView()) covered = true;
    }
  }
  Events events = std::move(removal.cancelEvents);
  if (removingDefault && !covered) {
    // The default listen here shadowed the listens below: they need their own again (and a
    // provider may answer one at once).
    if (Node* subtree = subtreeAt(path)) {
      std::vector<std::shared_ptr<View>> newViews;
      collectDistinctViews(*subtree, newViews);
      for (const auto& view : newViews) {
        const QuerySpec& newQuery = view->query();
        append(events, listenProvider_->startListening(
                           queryForListening(newQuery), tagForQuery(newQuery),
                           std::make_shared<ListenContainer>(view), listenCompletion(newQuery)));
      }
    }
  }
  // A failed listen is already gone at the provider.
  if (!covered && !removed.empty() && !cancelError) {
    if (removingDefault) {
      listenProvider_->stopListening(queryForListening(query), std::nullopt);
    } else {
      for (const auto& queryToRemove : removed) {
        listenProvider_->stopListening(queryForListening(queryToRemove),
                                       tagForQuery(queryToRemove));
      }
    }
  }
  removeTags(removed);
  return events;
}

void SyncTree::keepQuery(const QuerySpec& query, bool synced) {
  DZ_ASSERT_ON_QUEUE(queue_);
  auto kept = keepSyncedQueries_.find(query);
  if (synced && kept == keepSyncedQueries_.end()) {
    // One registration per kept query: letting the default query of a location go removes its
    // registration from every view there, and must not take the other kept queries with it.
    EventRegistrationPtr registration = std::make_shared<KeepSyncedEventRegistration>();
    addEventRegistration(registration, query);
    keepSyncedQueries_.emplace(query, std::move(registration));
  } else if (!synced && kept != keepSyncedQueries_.end()) {
    EventRegistrationPtr registration = std::move(kept->second);
    keepSyncedQueries_.erase(kept);
    removeEventRegistration(registration, query, nullptr);
  }
}

void SyncTree::removeTags(const std::vector<QuerySpec>& queries) {
  for (const auto& query : queries) {
    if (query.loadsAllData()) continue;
    auto it = queryToTag_.find(query);
    if (it == queryToTag_.end()) continue;
    tagToQuery_.erase(it->second);
    queryToTag_.erase(it);
  }
}

ListenCompletion SyncTree::listenCompletion(const QuerySpec& query) {
  std::weak_ptr<SyncTree> weak = weak_from_this();
  std::optional<QueryTag> tag = tagForQuery(query);
  return [weak, query, tag](const ErrorPtr& error) -> Events {
    auto self = weak.lock();
    if (!self) return {};
    if (!error) {
      if (tag) return self->applyTaggedListenComplete(query.path(), *tag);
      return self->applyListenComplete(query.path());
    }
    // A failed listen cancels every registration that relies on it: the listen of a query that
    // loads all data serves every view at its location. Kept queries among them are let go, so
    // that keeping them again asks for a new listen.
    QuerySpec failed = queryForListening(query);
    std::erase_if(self->keepSyncedQueries_, [&](const auto& kept) {
      return failed.isDefault() ? kept.first.path() == failed.path() : kept.first == failed;
    });
    return self->removeEventRegistration(nullptr, failed, error);
  };
}

Events SyncTree::setupListener(const QuerySpec& query, const std::shared_ptr<View>& view) {
  std::optional<QueryTag> tag = tagForQuery(query);
  Events events = listenProvider_->startListening(queryForListening(query), tag,
                                                  std::make_shared<ListenContainer>(view),
                                                  listenCompletion(query));
  if (!tag) {
    // A default listen covers everything below it: stop the listens there.
    if (Node* subtree = subtreeAt(query.path())) {
      std::vector<QuerySpec> queriesToStop;
      collectQueriesToStop(*subtree, true, queriesToStop);
      for (const auto& queryToStop : queriesToStop) {
        listenProvider_->stopListening(queryForListening(queryToStop), tagForQuery(queryToStop));
      }
    }
  }
  return events;
}

void SyncTree::collectQueriesToStop(Node& tree, bool atRoot, std::vector<QuerySpec>& out) {
  if (!atRoot && tree.value && tree.value->hasCompleteView()) {
    out.push_back(tree.value->completeView()->query());
    return;
  }
  if (tree.value) {
    for (View* view : tree.value->queryViews()) out.push_back(view->query());
  }
  for (auto& [key, child] : tree.children) collectQueriesToStop(*child, false, out);
}

void SyncTree::collectDistinctViews(Node& tree, std::vector<std::shared_ptr<View>>& out) {
  if (tree.value && tree.value->hasCompleteView()) {
    for (const auto& view : tree.value->views()) {
      if (view->query().loadsAllData()) {
        out.push_back(view);
        return;
      }
    }
  }
  if (tree.value) {
    for (const auto& view : tree.value->views()) {
      if (!view->query().loadsAllData()) out.push_back(view);
    }
  }
  for (auto& [key, child] : tree.children) collectDistinctViews(*child, out);
}

NodePtr SyncTree::calcCompleteEventCache(const Path& path,
                                         const std::set<WriteId>& excludeWriteIds) const {
  DZ_ASSERT_ON_QUEUE(queue_);
  NodePtr serverCache;
  Node* node = root_.get();
  Path pathSoFar;
  if (node->value) serverCache = node->value->completeServerCache(path);
  for (size_t i = 0; !serverCache && i < path.size(); ++i) {
    auto it = node->children.find(path[i]);
    if (it == node->children.end()) break;
    node = it->second.get();
    pathSoFar = pathSoFar.child(path[i]);
    if (node->value) {
      serverCache = node->value->completeServerCache(Path::relativePath(pathSoFar, path));
    }
  }
  return pendingWriteTree_.calcCompleteEventCache(path, serverCache, excludeWriteIds, true);
}

}  // namespace dz::database
