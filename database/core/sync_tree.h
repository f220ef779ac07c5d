// SyncTree: the local database. It keeps the pending user writes, a sync point with views for
// every location that has listeners, and applies user writes, acknowledgements and server data to
// them, returning the events to raise. It starts and stops server listens through the listen
// provider as views appear and go away. Made with create() and held by the repository; every
// method runs on the queue given at creation, the repository's work queue (no locks).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/core/listen_provider.h"
#include "database/core/operation.h"
#include "database/core/sync_point.h"
#include "database/core/view/event_registration.h"
#include "database/core/write_tree.h"
#include "database/persistence/persistence_manager.h"
#include "database/snapshot/key_order.h"
#include "database/snapshot/range_merge.h"
#include "platform/dispatch_queue.h"

namespace dz::database {

class Clock;

class SyncTree : public std::enable_shared_from_this<SyncTree> {
 public:
  // A sync tree used on `queue`, with the listen provider (required) and a persistence manager
  // (may be null).
  static std::shared_ptr<SyncTree> create(
      platform::DispatchQueuePtr queue, std::shared_ptr<ListenProvider> listenProvider,
      std::shared_ptr<PersistenceManager> persistence = nullptr);

  SyncTree(const SyncTree&) = delete;
  SyncTree& operator=(const SyncTree&) = delete;

  // A local write under its id (ids must increase; an id not above the last one is logged and
  // ignored). Hidden writes raise no events but count for calcCompleteEventCache.
  Events applyUserOverwrite(const Path& path, NodePtr newData, WriteId writeId,
                            bool visible = true);
  Events applyUserMerge(const Path& path, const CompoundWrite& changedChildren, WriteId writeId);
  // Removes the write from the pending writes (and from storage when `persist`); a revert shows
  // the server's data again. Unknown ids are logged and yield nothing.
  Events ackUserWrite(WriteId writeId, bool revert, bool persist, const Clock& clock);
  // Drops every pending write and returns the events of the reverts.
  Events removeAllWrites();

  Events applyServerOverwrite(const Path& path, NodePtr newData);
  Events applyServerMerge(const Path& path, const CompoundWrite& changedChildren);
  Events applyServerRangeMerge(const Path& path, const std::vector<RangeMerge>& updates);
  Events applyListenComplete(const Path& path);
  // Server data of a tagged query: applied to that query's view only; nothing for an unknown tag
  // or data outside the query's location.
  Events applyTaggedQueryOverwrite(const Path& path, NodePtr newData, QueryTag tag);
  Events applyTaggedQueryMerge(const Path& path, const CompoundWrite& changedChildren,
                               QueryTag tag);
  Events applyTaggedServerRangeMerge(const Path& path, const std::vector<RangeMerge>& updates,
                                     QueryTag tag);
  Events applyTaggedListenComplete(const Path& path, QueryTag tag);

  Events addEventRegistration(EventRegistrationPtr registration, const QuerySpec& query);
  // Removes the matching registrations of the query (a default query: of every query at its
  // location); with an error, their cancel events are returned.
  Events removeEventRegistration(const EventRegistrationPtr& registration, const QuerySpec& query,
                                 const ErrorPtr& cancelError = nullptr);
  // Keeps the query's listen without registrations, or lets it go.
  void keepQuery(const QuerySpec& query, bool synced);

  // The complete local data at `path` with every pending write (hidden ones too) except the
  // given ids; null when the local data does not cover the path.
  NodePtr calcCompleteEventCache(const Path& path,
                                 const std::set<WriteId>& excludeWriteIds = {}) const;

  // For tests and diagnostics: the tag of a tagged query, if any.
  std::optional<QueryTag> tagForQuery(const QuerySpec& query) const;

 private:
  struct Node;

  SyncTree(platform::DispatchQueuePtr queue, std::shared_ptr<ListenProvider> listenProvider,
           std::shared_ptr<PersistenceManager> persistence);

  Events applyOperationToSyncPoints(const Operation& operation);
  Events applyOperationHelper(const Operation& operation, Node& tree, NodePtr serverCache,
                              const WriteTreeRef& writesCache);
  Events applyOperationDescendantsHelper(const Operation& operation, Node& tree,
                                         NodePtr serverCache, const WriteTreeRef& writesCache);
  Events applyTaggedOperation(const QuerySpec& query, const Operation& operation);
  std::optional<QuerySpec> queryForTag(QueryTag tag) const;
  // The relative path of tagged data at `path` for its query, or none when outside it.
  std::optional<Path> taggedRelativePath(const QuerySpec& query, const Path& path) const;

  Events setupListener(const QuerySpec& query, const std::shared_ptr<View>& view);
  ListenCompletion listenCompletion(const QuerySpec& query);
  void collectDistinctViews(Node& tree, std::vector<std::shared_ptr<View>>& out);
  void collectQueriesToStop(Node& tree, bool atRoot, std::vector<QuerySpec>& out);
  void removeTags(const std::vector<QuerySpec>& queries);
  static QuerySpec queryForListening(const QuerySpec& query);

  SyncPoint* syncPointAt(const Path& path) const;
  Node* subtreeAt(const Path& path) const;
  void pruneEmpty(const Path& path);

  platform::DispatchQueuePtr queue_;
  std::shared_ptr<ListenProvider> listenProvider_;
  std::shared_ptr<PersistenceManager> persistence_;
  std::unique_ptr<Node> root_;
  WriteTree pendingWriteTree_;
  std::unordered_map<QuerySpec, QueryTag> queryToTag_;
  std::map<QueryTag, QuerySpec> tagToQuery_;
  QueryTag nextQueryTag_ = 1;
  std::unordered_map<QuerySpec, EventRegistrationPtr> keepSyncedQueries_;
};

}  // namespace dz::database
