#include "database/core/transaction_queue.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "database/core/repo.h"
#include "database/core/server_values.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "database/utilities/utilities.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {
namespace {

constexpr char kPersistenceWarning[] =
    "runTransactionBlock: usage detected while persistence is enabled. Please be aware that "
    "transactions *will not* be persisted across app restarts. See docs/transactions.md on "
    "handling transactions offline.";

}  // namespace

std::shared_ptr<TransactionQueue> TransactionQueue::create(Repo& repo) {
  return std::shared_ptr<TransactionQueue>(new TransactionQueue(repo));
}

size_t TransactionQueue::size() const {
  size_t count = 0;
  tree_.forEachDescendant(
      [&](const QueueTree& node) {
        if (const auto& queue = node.getValue()) count += queue->size();
      },
      true);
  return count;
}

NodePtr TransactionQueue::latestState(const Path& path,
                                      const std::set<WriteId>& excludeWriteIds) const {
  NodePtr state = repo_.serverSyncTree()->calcCompleteEventCache(path, excludeWriteIds);
  return state ? state : EmptyNode::emptyNode();
}

// A listener without a callback keeps the location's data synced while transactions there live.
// One serves all the transactions of a location: a listener each would make every local change
// raise an event per transaction.
void TransactionQueue::watch(Transaction& transaction) {
  Watcher& watcher = watchers_[transaction.path];
  if (watcher.count++ == 0) {
    watcher.handle = LUIDGenerator();
    repo_.addEventRegistration(
        ValueEventRegistration::create(watcher.handle, [](const DataEvent&) {}),
        QuerySpec::defaultQueryAtPath(transaction.path));
  }
  std::weak_ptr<TransactionQueue> weak = weak_from_this();
  transaction.unwatcher = [weak, path = transaction.path, done = false]() mutable {
    if (std::exchange(done, true)) return;
    if (auto self = weak.lock()) self->unwatch(path);
  };
}

void TransactionQueue::unwatch(const Path& path) {
  auto found = watchers_.find(path);
  if (found == watchers_.end() || --found->second.count > 0) return;
  uint64_t handle = found->second.handle;
  watchers_.erase(found);
  // Later, as a caller's removal would be: the events of the current step are computed first.
  std::weak_ptr<Repo> weak = repo_.weak_from_this();
  repo_.queue()->async([weak, handle, query = QuerySpec::defaultQueryAtPath(path)] {
    if (auto repo = weak.lock()) {
      repo->removeEventRegistration(ValueEventRegistration::create(handle, nullptr), query);
    }
  });
}

NodePtr TransactionQueue::runUpdate(Transaction& transaction, const NodePtr& input,
                                    ErrorPtr& error) {
  transaction.currentInputSnapshot = input;
  NodePtr output;
  try {
    output = transaction.update(input);
  } catch (const std::exception& e) {
    error = errorForStatus(kTransactionAbortUpdateFailed,
                           std::string("The transaction's update function threw: ") + e.what());
  } catch (...) {
    error =
        errorForStatus(kTransactionAbortUpdateFailed, "The transaction's update function threw");
  }
  if (error) {
    logWarning("I-RDB03830", "runTransactionBlock: at " + transaction.path.toString() + ": " +
                                 error->localizedDescription());
    output = nullptr;
  }
  if (!output) {
    transaction.currentOutputSnapshotRaw = nullptr;
    transaction.currentOutputSnapshotResolved = nullptr;
  }
  return output;
}

Events TransactionQueue::applyOutput(Transaction& transaction, NodePtr output) {
  Value::Map serverValues = ServerValues::generateServerValues(repo_.serverClock());
  transaction.currentOutputSnapshotResolved =
      ServerValues::resolveDeferredValueSnapshot(output, serverValues);
  transaction.currentOutputSnapshotRaw = std::move(output);
  transaction.currentWriteId = repo_.nextWriteId();
  return repo_.serverSyncTree()->applyUserOverwrite(
      transaction.path, transaction.currentOutputSnapshotResolved, transaction.currentWriteId,
      transaction.applyLocally);
}

Events TransactionQueue::revert(const Transaction& transaction) {
  return repo_.serverSyncTree()->ackUserWrite(transaction.currentWriteId, true, false,
                                              repo_.serverClock());
}

std::function<void()> TransactionQueue::completion(const Transaction& transaction,
                                                   const ErrorPtr& error, bool committed,
                                                   NodePtr data) const {
  if (!transaction.onComplete) return nullptr;
  return [onComplete = transaction.onComplete, error, committed, data = std::move(data)] {
    onComplete(error, committed, data);
  };
}

// ---- start ----

void TransactionQueue::startTransaction(const Path& path, TransactionUpdate update,
                                        TransactionCompletion onComplete, bool applyLocally) {
  if (repo_.hasPersistence() && !loggedTransactionPersistenceWarning_) {
    loggedTransactionPersistenceWarning_ = true;
    if (logLevelEnabled(kLogLevelInfo)) logError("I-RDB03820", kPersistenceWarning);
  }
  auto transaction = std::make_shared<Transaction>();
  transaction->path = path;
  transaction->update = std::move(update);
  transaction->onComplete = std::move(onComplete);
  transaction->applyLocally = applyLocally;
  watch(*transaction);
  transaction->order = LUIDGenerator();

  ErrorPtr error;
  NodePtr input = latestState(path);
  NodePtr output = runUpdate(*transaction, input, error);
  if (!output) {
    transaction->unwatcher();
    transaction->status = TransactionStatus::Done;
    if (auto done = completion(*transaction, error, false, input)) {
      repo_.eventRaiser().raiseCallback(std::move(done));
    }
    return;
  }
  transaction->status = TransactionStatus::Run;
  QueueTree node = tree_.subTree(path);
  Queue queue = node.getValue().value_or(Queue{});
  queue.push_back(transaction);
  node.setValue(std::move(queue));
  repo_.raiseEvents(applyOutput(*transaction, std::move(output)));
  sendAllReadyTransactions();
}

// ---- sending ----

void TransactionQueue::sendAllReadyTransactions() {
  pruneCompletedTransactions(tree_);
  sendReadyTransactionsForTree(tree_);
}

void TransactionQueue::sendReadyTransactionsForTree(const QueueTree& node) {
  if (!node.getValue()) {
    node.forEachChildMutationSafe(
        [this](const QueueTree& child) { sendReadyTransactionsForTree(child); });
    return;
  }
  Queue queue = buildTransactionQueue(node);
  if (queue.empty()) {
    logError("I-RDB03831", "Sending zero length transaction queue");
    return;
  }
  bool allRun = std::all_of(queue.begin(), queue.end(), [](const TransactionPtr& transaction) {
    return transaction->status == TransactionStatus::Run;
  });
  // Otherwise it waits for the replies outstanding.
  if (allRun) sendTransactionQueue(queue, node.path());
}

void TransactionQueue::sendTransactionQueue(const Queue& queue, const Path& path) {
  std::set<WriteId> writeIds;
  for (const auto& transaction : queue) writeIds.insert(transaction->currentWriteId);
  NodePtr base = latestState(path, writeIds);
  std::string hash = base->dataHash();
  for (const auto& transaction : queue) {
    logDebug("I-RDB03821", "Transaction at " + transaction->path.toString() + " set to SENT");
    transaction->status = TransactionStatus::Sent;
    ++transaction->retryCount;
    // Later transactions overwrite earlier ones where they overlap.
    base = base->updateChild(Path::relativePath(path, transaction->path),
                             transaction->currentOutputSnapshotRaw);
  }
  std::weak_ptr<Repo> weakRepo = repo_.weak_from_this();
  std::weak_ptr<TransactionQueue> weak = weak_from_this();
  repo_.connection().putData(base, path.toString(), hash,
                             [weakRepo, weak, queue, path](const WriteResult& result) {
                               auto repo = weakRepo.lock();
                               auto self = weak.lock();
                               if (repo && self) self->onPutReply(queue, path, result);
                             });
}

void TransactionQueue::onPutReply(const Queue& queue, const Path& path, const WriteResult& result) {
  logDebug("I-RDB03822", "Transaction put response: " + path.toString() + " : " + result.status);
  Events events;
  if (result.ok()) {
    Callbacks callbacks;
    for (const auto& transaction : queue) {
      transaction->status = TransactionStatus::Done;
      append(events, repo_.serverSyncTree()->ackUserWrite(transaction->currentWriteId, false, false,
                                                          repo_.serverClock()));
      if (auto done =
              completion(*transaction, nullptr, true, transaction->currentOutputSnapshotResolved)) {
        callbacks.push_back(std::move(done));
      }
      transaction->unwatcher();
    }
    pruneCompletedTransactions(tree_.subTree(path));
    sendAllReadyTransactions();
    repo_.eventRaiser().raiseCallbacks(std::move(callbacks));
  } else if (result.status == wire::kStatusDataStale) {
    for (const auto& transaction : queue) {
      transaction->status = transaction->status == TransactionStatus::SentAbortPending
                                ? TransactionStatus::AbortPending
                                : TransactionStatus::Run;
    }
  } else {
    logWarning("I-RDB03823",
               "runTransactionBlock: at " + path.toString() + " failed: " + result.status);
    for (const auto& transaction : queue) {
      transaction->status = TransactionStatus::AbortPending;
      transaction->setAbortStatus(result.status, result.error->localizedDescription());
    }
  }
  rerunTransactionsForPath(path);
  repo_.raiseEvents(events);
}

// ---- rerunning ----

void TransactionQueue::rerunTransactions(const Path& path) { rerunTransactionsForPath(path); }

Path TransactionQueue::rerunTransactionsForPath(const Path& path) {
  if (tree_.isEmpty()) return path;
  QueueTree node = ancestorTransactionNode(path);
  rerunTransactionQueue(buildTransactionQueue(node), node.path());
  return node.path();
}

void TransactionQueue::rerunTransactionQueue(const Queue& queue, const Path& path) {
  if (queue.empty()) return;
  std::set<WriteId> ignored;
  for (const auto& transaction : queue) ignored.insert(transaction->currentWriteId);
  Callbacks callbacks;
  for (const auto& transaction : queue) {
    if (!path.contains(transaction->path)) {
      logError("I-RDB03832", "[DRepo rerunTransactionsQueue:] relativePath should not be null.");
      continue;
    }
    Events events;
    bool abort = false;
    if (transaction->status == TransactionStatus::AbortPending) {
      abort = true;
      if (transaction->abortStatus != std::string(wire::kStatusWriteCanceled)) {
        events = revert(*transaction);
      }
    } else if (transaction->status == TransactionStatus::Run &&
               transaction->retryCount >= kMaxRetries) {
      abort = true;
      transaction->setAbortStatus(kTransactionAbortMaxRetry, std::nullopt);
      events = revert(*transaction);
    } else if (transaction->status == TransactionStatus::Run) {
      ErrorPtr error;
      NodePtr output = runUpdate(*transaction, latestState(transaction->path, ignored), error);
      WriteId oldWriteId = transaction->currentWriteId;
      if (output) {
        events = applyOutput(*transaction, std::move(output));
        // Later transactions of this queue see this one's new result.
        ignored.erase(oldWriteId);
      } else {
        abort = true;
        if (error) {
          transaction->setAbortStatus(kTransactionAbortUpdateFailed, error->localizedDescription());
        } else {
          transaction->setAbortStatus(std::nullopt, std::nullopt);
        }
      }
      append(events,
             repo_.serverSyncTree()->ackUserWrite(oldWriteId, true, false, repo_.serverClock()));
    }
    repo_.raiseEvents(events);
    if (abort) {
      transaction->status = TransactionStatus::Done;
      transaction->unwatcher();
      if (auto done = completion(*transaction, transaction->abortError(), false,
                                 transaction->currentInputSnapshot)) {
        callbacks.push_back(std::move(done));
      }
    }
  }
  pruneCompletedTransactions(tree_);
  repo_.eventRaiser().raiseCallbacks(std::move(callbacks));
  sendAllReadyTransactions();
}

// The root-most location on the way to `path` that holds transactions, or `path` itself.
TransactionQueue::QueueTree TransactionQueue::ancestorTransactionNode(const Path& path) const {
  QueueTree node = tree_;
  for (const std::string& key : path.keys()) {
    if (node.getValue()) break;
    node = node.subTree(Path().child(key));
  }
  return node;
}

TransactionQueue::Queue TransactionQueue::buildTransactionQueue(const QueueTree& node) const {
  Queue queue;
  node.forEachDescendant(
      [&](const QueueTree& descendant) {
        if (const auto& own = descendant.getValue()) {
          queue.insert(queue.end(), own->begin(), own->end());
        }
      },
      true);
  std::stable_sort(
      queue.begin(), queue.end(),
      [](const TransactionPtr& a, const TransactionPtr& b) { return a->order < b->order; });
  return queue;
}

void TransactionQueue::pruneCompletedTransactions(const QueueTree& node) {
  if (const auto& own = node.getValue()) {
    Queue remaining;
    for (const auto& transaction : *own) {
      if (transaction->status != TransactionStatus::Done) remaining.push_back(transaction);
    }
    node.setValue(remaining.empty() ? std::nullopt : std::optional<Queue>(std::move(remaining)));
  }
  node.forEachChildMutationSafe(
      [this](const QueueTree& child) { pruneCompletedTransactions(child); });
}

// ---- aborting ----

Path TransactionQueue::abortTransactions(const Path& path, const std::string& reason,
                                         const std::optional<std::string>& reasonText) {
  if (tree_.isEmpty()) return path;
  Path affected = ancestorTransactionNode(path).path();
  QueueTree node = tree_.subTree(path);
  node.forEachAncestor([&](const QueueTree& ancestor) {
    abortTransactionsAtNode(ancestor, reason, reasonText);
    return false;
  });
  abortTransactionsAtNode(node, reason, reasonText);
  node.forEachDescendant([&](const QueueTree& descendant) {
    abortTransactionsAtNode(descendant, reason, reasonText);
  });
  return affected;
}

void TransactionQueue::abortTransactionsAtNode(const QueueTree& node, const std::string& reason,
                                               const std::optional<std::string>& reasonText) {
  const auto& own = node.getValue();
  if (!own) return;
  Events events;
  Callbacks callbacks;
  // Sent transactions wait for their reply, which finishes them; every other one ends here.
  Queue waiting;
  for (const auto& transaction : *own) {
    if (transaction->isSent()) {
      if (transaction->status == TransactionStatus::Sent) {
        transaction->status = TransactionStatus::SentAbortPending;
        transaction->setAbortStatus(reason, reasonText);
      }
      waiting.push_back(transaction);
      continue;
    }
    // Completed already, and waiting for the next prune.
    if (transaction->status == TransactionStatus::Done) continue;
    transaction->status = TransactionStatus::Done;
    transaction->unwatcher();
    if (reason != wire::kStatusWriteCanceled) append(events, revert(*transaction));
    if (auto done = completion(*transaction, errorForStatus(reason, reasonText), false, nullptr)) {
      callbacks.push_back(std::move(done));
    }
  }
  node.setValue(waiting.empty() ? std::nullopt : std::optional<Queue>(std::move(waiting)));
  repo_.raiseEvents(events);
  repo_.eventRaiser().raiseCallbacks(std::move(callbacks));
}

}  // namespace dz::database
