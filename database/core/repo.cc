#include "database/core/repo.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "database/core/on_disconnect_writes.h"
#include "database/core/server_values.h"
#include "database/core/transaction_queue.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "database/utilities/utilities.h"
#include "database/utilities/wire_protocol.h"
#include "database/utilities/work_queue.h"
#include "platform/application_notifications.h"
#include "platform/queue_check.h"

namespace dz::database {
namespace {

constexpr char kAbortReasonSet[] = "set";
constexpr char kLabelSet[] = "setValue: or removeValue:";
constexpr char kLabelUpdate[] = "updateChildValues:";
constexpr char kLabelPersisted[] = "Persisted write";
constexpr char kDisposedReason[] = "The database was disposed";

bool debugEnabled() { return logLevelEnabled(kLogLevelDebug); }

// "[(start: /a, end: none, updates: {...}), ...]", for the debug log.
std::string describeRanges(const std::vector<RangeMerge>& ranges) {
  auto pathOrNone = [](const std::optional<Path>& path) {
    return path ? path->toString() : std::string("none");
  };
  std::string text = "[";
  for (const RangeMerge& range : ranges) {
    if (text.size() > 1) text += ", ";
    text += "(start: " + pathOrNone(range.start()) + ", end: " + pathOrNone(range.end()) +
            ", updates: " + SnapshotUtilities::toJsonText(*range.updates(), true) + ")";
  }
  return text + "]";
}

// What a write or transaction hears when the repository is disposed before it is answered: like a
// disconnect, whether the server applied what was sent stays unknown.
const std::string kStatusDisposed(wire::kStatusDisconnect);

}  // namespace

std::shared_ptr<Repo> Repo::create(RepoInfoPtr repoInfo, DatabaseConfigPtr config,
                                   RepoDependencies dependencies) {
  std::shared_ptr<Repo> repo(
      new Repo(std::move(repoInfo), std::move(config), std::move(dependencies)));
  repo->queue_->async([repo] { repo->deferredInit(); });
  return repo;
}

Repo::Repo(RepoInfoPtr repoInfo, DatabaseConfigPtr config, RepoDependencies dependencies)
    : repoInfo_(std::move(repoInfo)),
      config_(std::move(config)),
      queue_(dependencies.queue ? dependencies.queue : workQueue()),
      notificationCenter_(dependencies.notificationCenter
                              ? dependencies.notificationCenter
                              : &platform::NotificationCenter::defaultCenter()),
      serverClock_(std::make_shared<OffsetClock>(SystemClock::clock(), 0.0)),
      connection_(PersistentConnection::create(repoInfo_, queue_, config_,
                                               std::move(dependencies.connection))),
      eventRaiser_(config_->callbackQueue()) {}

Repo::~Repo() {
  if (backgroundObserver_) notificationCenter_->removeObserver(backgroundObserver_);
}

bool Repo::usable(const char* operation) const {
  if (initialized_ && !disposed_.load()) return true;
  logDebug("I-RDB03827",
           std::string(operation) + " ignored: the repository " + description() + " is disposed");
  return false;
}

bool Repo::usable(const char* operation, const RepoWriteCallback& callback) {
  if (usable(operation)) return true;
  callOnComplete(callback, WriteResult::from(kStatusDisposed, kDisposedReason));
  return false;
}

// ---- set-up ----

void Repo::deferredInit() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (disposed_.load()) return;
  std::weak_ptr<Repo> weak = weak_from_this();
  if (auto provider = config_->authTokenProvider()) {
    tokenListener_ = provider->listenForTokenChanges([weak](std::optional<std::string> token) {
      if (auto self = weak.lock(); self && !self->disposed_.load()) {
        self->connection_->refreshAuthToken(std::move(token));
      }
    });
  }
  connection_->setDelegate(weak);
  connection_->open();

  if (config_->persistenceEnabled()) persistence_ = openRepoPersistence(*repoInfo_, *config_);

  infoTree_ = std::make_unique<DotInfoTree>(queue_, [weak](const Events& events) {
    if (auto self = weak.lock()) self->raiseEvents(events);
  });
  serverSyncTree_ = makeServerSyncTree();
  transactionQueue_ = TransactionQueue::create(*this);
  transactions_ = transactionQueue_;
  onDisconnectWrites_ = std::make_shared<OnDisconnectWrites>(*this);
  onDisconnect_ = onDisconnectWrites_;
  initialized_ = true;

  restoreWrites();
  updateInfo(kDotInfoConnected, Value(false));
  setupNotifications();
}

std::shared_ptr<SyncTree> Repo::makeServerSyncTree() {
  std::weak_ptr<Repo> weak = weak_from_this();
  auto start = [weak](const QuerySpec& query, std::optional<QueryTag> tag,
                      std::shared_ptr<const SyncTreeHash> hash,
                      ListenCompletion onComplete) -> Events {
    auto self = weak.lock();
    if (!self) return {};
    self->connection_->listen(query, tag, std::move(hash),
                              [weak, onComplete](const ErrorPtr& error) {
                                if (auto self = weak.lock()) self->raiseEvents(onComplete(error));
                              });
    return {};
  };
  auto stop = [weak](const QuerySpec& query, std::optional<QueryTag> tag) {
    if (auto self = weak.lock()) self->connection_->unlisten(query, tag);
  };
  return SyncTree::create(queue_,
                          std::make_shared<ListenProvider>(std::move(start), std::move(stop)),
                          persistence_.manager);
}

void Repo::restoreWrites() {
  if (!persistence_.manager) return;
  std::vector<WriteRecord> writes = persistence_.manager->userWrites();
  // A damaged store may hand them out of order; the sync tree needs increasing ids.
  std::stable_sort(writes.begin(), writes.end(), [](const WriteRecord& a, const WriteRecord& b) {
    return a.writeId() < b.writeId();
  });
  Value::Map serverValues = ServerValues::generateServerValues(*serverClock_);
  WriteId lastWriteId = std::numeric_limits<WriteId>::min();
  for (const WriteRecord& write : writes) {
    WriteId writeId = write.writeId();
    if (writeId == lastWriteId) {
      logWarning("I-RDB03828",
                 "Dropping a restored write with a repeated id " + std::to_string(writeId));
      continue;
    }
    lastWriteId = writeId;
    writeIdCounter_ = std::max(writeIdCounter_, writeId + 1);
    Path path = write.path();
    std::weak_ptr<Repo> weak = weak_from_this();
    WriteCallback onComplete = [weak, writeId, path](const WriteResult& result) {
      auto self = weak.lock();
      if (!self) return;
      self->warnIfWriteFailed(path, result, kLabelPersisted);
      self->ackWrite(writeId, path, result);
    };
    // No registration exists yet: the events of restoring are not raised.
    if (write.isOverwrite()) {
      logDebug("I-RDB03801", "Restoring overwrite with id " + std::to_string(writeId));
      connection_->putData(write.overwrite(), path.toString(), std::nullopt, std::move(onComplete));
      serverSyncTree_->applyUserOverwrite(
          path, ServerValues::resolveDeferredValueSnapshot(write.overwrite(), serverValues),
          writeId, true);
    } else {
      logDebug("I-RDB03802", "Restoring merge with id " + std::to_string(writeId));
      connection_->mergeData(write.merge(), path.toString(), std::move(onComplete));
      serverSyncTree_->applyUserMerge(
          path, ServerValues::resolveDeferredValueCompoundWrite(write.merge(), serverValues),
          writeId);
    }
  }
}

void Repo::setupNotifications() {
  logDebug("I-RDB03815", "Registering for background notification.");
  std::weak_ptr<Repo> weak = weak_from_this();
  backgroundObserver_ =
      notificationCenter_->addObserver(platform::kApplicationDidEnterBackgroundNotification,
                                       nullptr, nullptr, [weak](const platform::Notification&) {
                                         if (auto self = weak.lock()) self->didEnterBackground();
                                       });
}

// Runs on the posting thread. The platform gives no background task to hold; the work is only
// to let the work queue finish what was queued before the notification, and to say so.
void Repo::didEnterBackground() {
  if (!config_->persistenceEnabled() || disposed_.load()) return;
  logDebug("I-RDB03817", "Entering background.  Starting background task to finish work.");
  auto start = std::chrono::steady_clock::now();
  queue_->async([start] {
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    logDebug("I-RDB03818",
             "Background task completed.  Queue time: " + std::to_string(waited.count()));
  });
}

// ---- life ----

void Repo::interrupt() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!disposed_.load()) connection_->interruptForReason(kInterruptRepo);
}

void Repo::resume() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!disposed_.load()) connection_->resumeForReason(kInterruptRepo);
}

void Repo::dispose() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (disposed_.load()) return;
  // Replies already in are settled as usual; what is still pending will never be answered, and
  // its completions hear so now. Writes stay in the store, for the next repository on it.
  if (initialized_) connection_->ackPuts();
  disposed_ = true;
  if (initialized_) {
    if (transactions_) transactions_->abortTransactions(Path(), kStatusDisposed, kDisposedReason);
    connection_->failOutstandingWrites(WriteResult::from(kStatusDisposed, kDisposedReason));
  }
  connection_->interruptForReason(kInterruptRepo);
  connection_->setDelegate({});
  if (tokenListener_) tokenListener_->remove();
  if (backgroundObserver_) notificationCenter_->removeObserver(backgroundObserver_);
  backgroundObserver_ = 0;
  if (persistence_.manager) persistence_.manager->close();
  persistence_.lock.reset();
}

// ---- writes ----

WriteCallback Repo::writeCompletion(WriteId writeId, const Path& path, std::string label,
                                    RepoWriteCallback callback) {
  std::weak_ptr<Repo> weak = weak_from_this();
  return [weak, writeId, path, label = std::move(label),
          callback = std::move(callback)](const WriteResult& result) {
    auto self = weak.lock();
    if (!self) return;
    self->warnIfWriteFailed(path, result, label);
    self->ackWrite(writeId, path, result);
    self->callOnComplete(callback, result);
  };
}

void Repo::set(const Path& path, NodePtr node, RepoWriteCallback callback) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("set", callback)) return;
  if (!node) node = EmptyNode::emptyNode();
  if (debugEnabled()) {
    logDebug("I-RDB03803", "Setting: " + path.toString() + " with " +
                               SnapshotUtilities::toJsonText(*node, true) +
                               " pri: " + node->getPriority()->val().toJsonString());
  }
  Value::Map serverValues = ServerValues::generateServerValues(*serverClock_);
  NodePtr resolved = ServerValues::resolveDeferredValueSnapshot(node, serverValues);
  WriteId writeId = nextWriteId();
  if (persistence_.manager) persistence_.manager->saveUserOverwrite(node, path, writeId);
  raiseEvents(serverSyncTree_->applyUserOverwrite(path, resolved, writeId, true));
  connection_->putData(node, path.toString(), std::nullopt,
                       writeCompletion(writeId, path, kLabelSet, std::move(callback)));
  abortAndRerunTransactions(path, kAbortReasonSet);
}

void Repo::update(const Path& path, const CompoundWrite& nodes, RepoWriteCallback callback) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("update", callback)) return;
  if (debugEnabled()) {
    logDebug("I-RDB03804",
             "Updating: " + path.toString() + " with " + nodes.valForExport(true).toJsonString());
  }
  Value::Map serverValues = ServerValues::generateServerValues(*serverClock_);
  CompoundWrite resolved = ServerValues::resolveDeferredValueCompoundWrite(nodes, serverValues);
  if (resolved.isEmpty()) {
    logDebug("I-RDB03806", "update called with empty data. Doing nothing");
    callOnComplete(callback, WriteResult::from(std::string(wire::kStatusOk)));
    return;
  }
  WriteId writeId = nextWriteId();
  if (persistence_.manager) persistence_.manager->saveUserMerge(nodes, path, writeId);
  raiseEvents(serverSyncTree_->applyUserMerge(path, resolved, writeId));
  connection_->mergeData(nodes, path.toString(),
                         writeCompletion(writeId, path, kLabelUpdate, std::move(callback)));
  nodes.enumerateWrites([&](const Path& relative, const NodePtr&) {
    Path affected = path.child(relative);
    logDebug("I-RDB03805", "Cancelling transactions at path: " + affected.toString());
    abortAndRerunTransactions(affected, kAbortReasonSet);
    return false;
  });
}

void Repo::purgeOutstandingWrites() {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("purgeOutstandingWrites")) return;
  logDebug("I-RDB03810", "Purging outstanding writes");
  raiseEvents(serverSyncTree_->removeAllWrites());
  if (transactions_) {
    transactions_->abortTransactions(Path(), std::string(wire::kStatusWriteCanceled));
  }
  connection_->purgeOutstandingWrites();
}

void Repo::ackWrite(WriteId writeId, const Path& path, const WriteResult& result) {
  DZ_ASSERT_ON_QUEUE(queue_);
  // A purge has already taken the write out.
  if (result.canceled() || !usable("ackWrite")) return;
  Events events = serverSyncTree_->ackUserWrite(writeId, !result.ok(), true, *serverClock_);
  if (!events.empty()) rerunTransactions(path);
  raiseEvents(std::move(events));
}

void Repo::warnIfWriteFailed(const Path& path, const WriteResult& result,
                             const std::string& label) {
  if (result.ok() || result.canceled()) return;
  logWarning("I-RDB03812", label + " at " + path.toString() + " failed: " + result.status);
}

void Repo::callOnComplete(const RepoWriteCallback& callback, const WriteResult& result) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!callback) return;
  eventRaiser_.raiseCallback([callback, error = result.error] { callback(error); });
}

void Repo::abortAndRerunTransactions(const Path& path, const std::string& reason) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!transactions_) return;
  transactions_->rerunTransactions(transactions_->abortTransactions(path, reason));
}

void Repo::rerunTransactions(const Path& path) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (transactions_) transactions_->rerunTransactions(path);
}

void Repo::setTransactionHooks(std::shared_ptr<RepoTransactionHooks> hooks) {
  DZ_ASSERT_ON_QUEUE(queue_);
  transactions_ = std::move(hooks);
}

void Repo::setOnDisconnectHooks(std::shared_ptr<RepoOnDisconnectHooks> hooks) {
  DZ_ASSERT_ON_QUEUE(queue_);
  onDisconnect_ = std::move(hooks);
}

void Repo::onDisconnectSet(const Path& path, NodePtr node, RepoWriteCallback callback) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("onDisconnectSet", callback)) return;
  onDisconnect_->set(path, node ? node : EmptyNode::emptyNode(), std::move(callback));
}

void Repo::onDisconnectUpdate(const Path& path, const CompoundWrite& nodes,
                              RepoWriteCallback callback) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (usable("onDisconnectUpdate", callback)) {
    onDisconnect_->update(path, nodes, std::move(callback));
  }
}

void Repo::onDisconnectCancel(const Path& path, RepoWriteCallback callback) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (usable("onDisconnectCancel", callback)) onDisconnect_->cancel(path, std::move(callback));
}

void Repo::startTransaction(const Path& path, TransactionUpdate update,
                            TransactionCompletion onComplete, bool applyLocally) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("startTransaction")) {
    if (onComplete) {
      eventRaiser_.raiseCallback(
          [onComplete, error = errorForStatus(kStatusDisposed, kDisposedReason)] {
            onComplete(error, false, nullptr);
          });
    }
    return;
  }
  transactionQueue_->startTransaction(path, std::move(update), std::move(onComplete), applyLocally);
}

// ---- reads ----

void Repo::addEventRegistration(EventRegistrationPtr registration, const QuerySpec& query) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("addEventRegistration")) return;
  SyncTree& tree = DotInfoTree::contains(query.path()) ? infoTree_->syncTree() : *serverSyncTree_;
  raiseEvents(tree.addEventRegistration(std::move(registration), query));
}

void Repo::removeEventRegistration(const EventRegistrationPtr& registration,
                                   const QuerySpec& query) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("removeEventRegistration")) return;
  logDebug("I-RDB03811",
           "Removing event registration with hande: " + std::to_string(registration->handle()));
  SyncTree& tree = DotInfoTree::contains(query.path()) ? infoTree_->syncTree() : *serverSyncTree_;
  raiseEvents(tree.removeEventRegistration(registration, query));
}

void Repo::keepQuerySynced(const QuerySpec& query, bool synced) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("keepQuerySynced")) return;
  if (DotInfoTree::contains(query.path())) {
    logError("I-RDB03829", "Can't keep .info tree synced!");
    return;
  }
  serverSyncTree_->keepQuery(query, synced);
}

// ---- the connection's reports ----

void Repo::updateInfo(const std::string& key, const Value& value) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("updateInfo")) return;
  if (key == kDotInfoServerTimeOffset) {
    if (std::optional<double> offset = value.getDouble()) serverClock_->setOffset(*offset / 1000.0);
  }
  try {
    raiseEvents(infoTree_->update(key, value));
  } catch (const std::exception& e) {
    logWarning("I-RDB03824", "Dropping the server info " + key + ": " + e.what());
  }
}

void Repo::applyServerEvents(const Path& path, Events events) {
  if (!events.empty()) rerunTransactions(path);
  raiseEvents(std::move(events));
}

// The data says whether it is a merge.
void Repo::onDataUpdate(PersistentConnection*, const std::string& pathString, PushedData message,
                        bool, std::optional<int64_t> tagId) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("onDataUpdate")) return;
  if (debugEnabled()) {
    logDebug("I-RDB03813",
             "onDataUpdateForPath: " + pathString + " withMessage: " + pushedDataText(message));
  }
  const auto* merge = std::get_if<CompoundWrite>(&message);
  Path path(pathString);
  if (!merge) return applyServerOverwrite(path, std::get<NodePtr>(std::move(message)), tagId);
  applyServerEvents(path, tagId ? serverSyncTree_->applyTaggedQueryMerge(path, *merge, *tagId)
                                : serverSyncTree_->applyServerMerge(path, *merge));
}

void Repo::applyServerOverwrite(const Path& path, NodePtr node, std::optional<int64_t> tagId) {
  if (!node) {
    logWarning("I-RDB03825",
               "Dropping server data at " + path.toString() + " that cannot be stored");
    return;
  }
  applyServerEvents(path, tagId ? serverSyncTree_->applyTaggedQueryOverwrite(path, node, *tagId)
                                : serverSyncTree_->applyServerOverwrite(path, node));
}

void Repo::onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                        std::optional<int64_t> tagId) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("onRangeMerge")) return;
  if (debugEnabled()) {
    logDebug("I-RDB03814", "onRangeMerge: " + pathString + " => " + describeRanges(ranges));
  }
  Path path(pathString);
  applyServerEvents(path, tagId ? serverSyncTree_->applyTaggedServerRangeMerge(path, ranges, *tagId)
                                : serverSyncTree_->applyServerRangeMerge(path, ranges));
}

void Repo::onConnect(PersistentConnection*) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (usable("onConnect")) updateInfo(kDotInfoConnected, Value(1));
}

void Repo::onDisconnect(PersistentConnection*) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("onDisconnect")) return;
  updateInfo(kDotInfoConnected, Value(0));
  if (onDisconnect_) onDisconnect_->runOnDisconnectEvents();
}

void Repo::onServerInfoUpdate(PersistentConnection*, const Value::Map& updates) {
  DZ_ASSERT_ON_QUEUE(queue_);
  if (!usable("onServerInfoUpdate")) return;
  for (const auto& [key, value] : updates) updateInfo(key, value);
}

}  // namespace dz::database
