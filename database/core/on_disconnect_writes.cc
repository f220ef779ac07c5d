#include "database/core/on_disconnect_writes.h"

#include "database/core/repo.h"
#include "database/core/server_values.h"
#include "database/core/transaction.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {

WriteCallback OnDisconnectWrites::replyHandler(std::function<void(const WriteResult&)> onReply,
                                               RepoWriteCallback callback) {
  std::weak_ptr<Repo> weak = repo_.weak_from_this();
  return [weak, onReply = std::move(onReply),
          callback = std::move(callback)](const WriteResult& result) {
    // The repository owns this engine: while it lives, so does the engine.
    auto repo = weak.lock();
    if (!repo) return;
    onReply(result);
    repo->callOnComplete(callback, result);
  };
}

void OnDisconnectWrites::set(const Path& path, const NodePtr& node, RepoWriteCallback callback) {
  repo_.connection().onDisconnectPutData(
      node, path,
      replyHandler(
          [this, path, node](const WriteResult& result) {
            if (result.ok()) return stored_.remember(path, node);
            logWarning("I-RDB03808", "onDisconnectSetValue: or onDisconnectRemoveValue: at " +
                                         path.toString() + " failed: " + result.status);
          },
          std::move(callback)));
}

void OnDisconnectWrites::update(const Path& path, const CompoundWrite& nodes,
                                RepoWriteCallback callback) {
  if (nodes.isEmpty()) {
    return repo_.callOnComplete(callback, WriteResult::from(std::string(wire::kStatusOk)));
  }
  repo_.connection().onDisconnectMergeData(
      nodes, path,
      replyHandler(
          [this, path, nodes](const WriteResult& result) {
            if (!result.ok()) {
              return logWarning("I-RDB03809", "onDisconnectUpdateChildValues: at " +
                                                  path.toString() + " failed " + result.status);
            }
            nodes.enumerateWrites([&](const Path& relative, const NodePtr& node) {
              stored_.remember(path.child(relative), node);
              return false;
            });
          },
          std::move(callback)));
}

void OnDisconnectWrites::cancel(const Path& path, RepoWriteCallback callback) {
  repo_.connection().onDisconnectCancelPath(
      path, replyHandler(
                [this, path](const WriteResult& result) {
                  if (result.ok()) return static_cast<void>(stored_.forget(path));
                  logDebug("I-RDB03807", "cancelDisconnectOperations: at " + path.toString() +
                                             " failed: " + result.status);
                },
                std::move(callback)));
}

void OnDisconnectWrites::runOnDisconnectEvents() {
  logDebug("I-RDB03819", "Running onDisconnectEvents");
  Value::Map serverValues = ServerValues::generateServerValues(repo_.serverClock());
  SparseSnapshotTree resolved = ServerValues::resolveDeferredValueTree(stored_, serverValues);
  Events events;
  resolved.forEachTree(Path(), [&](const Path& path, const NodePtr& node) {
    Events applied = repo_.serverSyncTree()->applyServerOverwrite(path, node);
    events.insert(events.end(), applied.begin(), applied.end());
    repo_.abortAndRerunTransactions(path, kTransactionAbortSet);
  });
  stored_ = SparseSnapshotTree();
  repo_.raiseEvents(events);
}

}  // namespace dz::database
