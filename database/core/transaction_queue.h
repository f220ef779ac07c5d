// TransactionQueue: the repository's running transactions, kept in a tree by path. It runs each
// caller's update function against the latest local data, applies the result locally at once,
// sends the transactions of a subtree as one put with the hash of the data they saw, reruns them
// when the server reports stale data or when local writes or pushes change their data, aborts
// them when a plain write overrules them, and calls every completion exactly once.
//
// Owned by the repository, which it calls back; work queue only, like the repository.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "database/core/repo_hooks.h"
#include "database/core/transaction.h"
#include "database/core/view/event.h"
#include "database/snapshot/tree.h"

namespace dz::database {

class Repo;
struct WriteResult;

class TransactionQueue final : public RepoTransactionHooks,
                               public std::enable_shared_from_this<TransactionQueue> {
 public:
  // At most this many sends per transaction; the next rerun aborts it with "maxretry".
  static constexpr int32_t kMaxRetries = 25;

  // `repo` owns the queue and outlives it.
  static std::shared_ptr<TransactionQueue> create(Repo& repo);
  TransactionQueue(const TransactionQueue&) = delete;
  TransactionQueue& operator=(const TransactionQueue&) = delete;

  // Runs `update` on the data at `path` and queues the result; an update that aborts or throws
  // completes at once and queues nothing. With `applyLocally` false, listeners see the result
  // only once the server confirms it.
  void startTransaction(const Path& path, TransactionUpdate update,
                        TransactionCompletion onComplete, bool applyLocally);

  // RepoTransactionHooks.
  Path abortTransactions(const Path& path, const std::string& reason,
                         const std::optional<std::string>& reasonText = std::nullopt) override;
  void rerunTransactions(const Path& path) override;

  // The transactions in the tree, for tests and diagnostics.
  size_t size() const;

 private:
  using Queue = std::vector<TransactionPtr>;
  using QueueTree = Tree<Queue>;
  using Callbacks = std::vector<std::function<void()>>;

  explicit TransactionQueue(Repo& repo) : repo_(repo) {}

  NodePtr latestState(const Path& path, const std::set<WriteId>& excludeWriteIds = {}) const;
  void watch(Transaction& transaction);
  void unwatch(const Path& path);
  // Calls the update function on `input`: its output, or null when it aborted (with `error` set
  // when it threw).
  NodePtr runUpdate(Transaction& transaction, const NodePtr& input, ErrorPtr& error);
  // Stores the update function's output and applies it locally under a new write id.
  Events applyOutput(Transaction& transaction, NodePtr output);
  Events revert(const Transaction& transaction);
  std::function<void()> completion(const Transaction& transaction, const ErrorPtr& error,
                                   bool committed, NodePtr data) const;

  void sendAllReadyTransactions();
  void sendReadyTransactionsForTree(const QueueTree& node);
  void sendTransactionQueue(const Queue& queue, const Path& path);
  void onPutReply(const Queue& queue, const Path& path, const WriteResult& result);
  Path rerunTransactionsForPath(const Path& path);
  void rerunTransactionQueue(const Queue& queue, const Path& path);
  QueueTree ancestorTransactionNode(const Path& path) const;
  Queue buildTransactionQueue(const QueueTree& node) const;
  void pruneCompletedTransactions(const QueueTree& node);
  void abortTransactionsAtNode(const QueueTree& node, const std::string& reason,
                               const std::optional<std::string>& reasonText);

  struct Watcher {
    uint64_t handle = 0;
    size_t count = 0;  // transactions using it
  };

  Repo& repo_;
  QueueTree tree_;
  std::map<Path, Watcher> watchers_;
  bool loggedTransactionPersistenceWarning_ = false;
};

}  // namespace dz::database
