// The engines the repository hands running transactions and on-disconnect writes to. They are
// built apart from the repository; it calls them through these two interfaces at the few points
// where a write, a push or a disconnect concerns them. Work queue only, like the repository.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"
#include "platform/error.h"

namespace dz::database {

// A write's completion as the repository reports it: no error on success.
using RepoWriteCallback = std::function<void(const ErrorPtr& error)>;

class RepoTransactionHooks {
 public:
  virtual ~RepoTransactionHooks() = default;
  // Aborts the transactions at, above and below `path` that a write there overrules, with the
  // reason ("set", "write_canceled", or "disconnect" when the repository is disposed) and its
  // text, when there is one; returns the path from which to rerun the rest.
  virtual Path abortTransactions(const Path& path, const std::string& reason,
                                 const std::optional<std::string>& reasonText = std::nullopt) = 0;
  // Runs again the transactions at and below `path` whose data changed.
  virtual void rerunTransactions(const Path& path) = 0;
};

class RepoOnDisconnectHooks {
 public:
  virtual ~RepoOnDisconnectHooks() = default;
  virtual void set(const Path& path, const NodePtr& node, RepoWriteCallback callback) = 0;
  virtual void update(const Path& path, const CompoundWrite& nodes, RepoWriteCallback callback) = 0;
  virtual void cancel(const Path& path, RepoWriteCallback callback) = 0;
  // Applies the acknowledged writes locally after the connection was lost.
  virtual void runOnDisconnectEvents() = 0;
};

}  // namespace dz::database
