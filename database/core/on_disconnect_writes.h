// OnDisconnectWrites: the repository's side of on-disconnect writes. It sends them to the server,
// keeps the acknowledged ones in a sparse snapshot tree, and when the connection drops applies
// them locally as the server is about to, with server values resolved by the server clock at that
// moment. Owned by the repository, which it calls back; work queue only.
#pragma once

#include "database/core/outstanding_put.h"
#include "database/core/repo_hooks.h"
#include "database/core/sparse_snapshot_tree.h"

namespace dz::database {

class Repo;

class OnDisconnectWrites final : public RepoOnDisconnectHooks {
 public:
  // `repo` owns the engine and outlives it.
  explicit OnDisconnectWrites(Repo& repo) : repo_(repo) {}
  OnDisconnectWrites(const OnDisconnectWrites&) = delete;
  OnDisconnectWrites& operator=(const OnDisconnectWrites&) = delete;

  // A removal is a set of the empty node. Each callback gets the server's verdict.
  void set(const Path& path, const NodePtr& node, RepoWriteCallback callback) override;
  // An empty update completes at once and sends nothing.
  void update(const Path& path, const CompoundWrite& nodes, RepoWriteCallback callback) override;
  void cancel(const Path& path, RepoWriteCallback callback) override;
  void runOnDisconnectEvents() override;

  // What the server has acknowledged, for tests.
  const SparseSnapshotTree& stored() const { return stored_; }

 private:
  // The connection's completion: `onReply` with the verdict, then the caller's callback.
  WriteCallback replyHandler(std::function<void(const WriteResult&)> onReply,
                             RepoWriteCallback callback);

  Repo& repo_;
  SparseSnapshotTree stored_;
};

}  // namespace dz::database
