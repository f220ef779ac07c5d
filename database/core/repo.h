// Repo: the one object per database (endpoint) and configuration that ties the client together:
// the persistent connection, the sync tree of the data with its optional persistence, the ".info"
// tree, the server clock and the event raiser that hands events and completions to the
// configuration's callback queue. Made by the repository manager; every operation but create(),
// the accessors and serverTime() runs on the work queue and takes no lock. Pushes arrive decoded
// (nodes, compound writes, range merges); statuses become dz::Error values here, once.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "database/core/clock.h"
#include "database/core/database_config.h"
#include "database/core/event_raiser.h"
#include "database/core/persistent_connection.h"
#include "database/core/repo_dot_info.h"
#include "database/core/repo_hooks.h"
#include "database/core/repo_store.h"
#include "database/core/sync_tree.h"
#include "database/core/transaction.h"
#include "database/utilities/repo_info.h"
#include "platform/notification_center.h"

namespace dz::database {

class Database;  // the public entry object that owns the repository
class OnDisconnectWrites;
class TransactionQueue;

// The seams below a repository; each empty member means the real thing.
struct RepoDependencies {
  platform::DispatchQueuePtr queue;  // the work queue
  PersistentConnection::Dependencies connection;
  platform::NotificationCenter* notificationCenter = nullptr;  // must outlive the repository
};

class Repo : public PersistentConnectionDelegate, public std::enable_shared_from_this<Repo> {
 public:
  // Made on the caller's thread; the rest of the set-up is the first task on the work queue, so
  // it runs before any request made through the new repository.
  static std::shared_ptr<Repo> create(RepoInfoPtr repoInfo, DatabaseConfigPtr config,
                                      RepoDependencies dependencies = {});
  ~Repo() override;
  Repo(const Repo&) = delete;
  Repo& operator=(const Repo&) = delete;

  // Any thread.
  const RepoInfoPtr& repoInfo() const { return repoInfo_; }
  const DatabaseConfigPtr& config() const { return config_; }
  const platform::DispatchQueuePtr& queue() const { return queue_; }
  const std::string& name() const { return repoInfo_->namespaceName(); }
  std::string description() const { return repoInfo_->description(); }
  // The server's time as the client believes it, in seconds since 1970.
  double serverTime() const { return serverClock_->currentTime(); }
  bool isDisposed() const { return disposed_.load(); }
  // The database object of this repository; set once, before the repository is handed out.
  const std::shared_ptr<Database>& database() const { return database_; }
  void setDatabase(std::shared_ptr<Database> database) { database_ = std::move(database); }

  // Connection control and life.
  void interrupt();
  void resume();
  // Interrupts for good, closes the store and detaches. Pending writes, transactions and
  // on-disconnect operations complete with a "disconnect" error saying the database was disposed
  // (what is stored stays stored), and so does every later one; every other later call does
  // nothing.
  void dispose();

  // Writes; the callback (optional) runs on the callback queue after the events raised before.
  void set(const Path& path, NodePtr node, RepoWriteCallback callback);
  void update(const Path& path, const CompoundWrite& nodes, RepoWriteCallback callback);
  void purgeOutstandingWrites();
  void onDisconnectSet(const Path& path, NodePtr node, RepoWriteCallback callback);
  void onDisconnectUpdate(const Path& path, const CompoundWrite& nodes, RepoWriteCallback callback);
  void onDisconnectCancel(const Path& path, RepoWriteCallback callback);
  // Runs `update` on the data at `path` and commits its result by compare-and-set.
  void startTransaction(const Path& path, TransactionUpdate update,
                        TransactionCompletion onComplete, bool applyLocally);

  // Reads: ".info" queries go to the ".info" tree.
  void addEventRegistration(EventRegistrationPtr registration, const QuerySpec& query);
  void removeEventRegistration(const EventRegistrationPtr& registration, const QuerySpec& query);
  // Refuses (logs) ".info" queries, which are always synced.
  void keepQuerySynced(const QuerySpec& query, bool synced);

  // For the transaction and on-disconnect engines (work queue).
  void setTransactionHooks(std::shared_ptr<RepoTransactionHooks> hooks);
  void setOnDisconnectHooks(std::shared_ptr<RepoOnDisconnectHooks> hooks);
  WriteId nextWriteId() { return writeIdCounter_++; }
  void updateInfo(const std::string& key, const Value& value);
  void callOnComplete(const RepoWriteCallback& callback, const WriteResult& result);
  void ackWrite(WriteId writeId, const Path& path, const WriteResult& result);
  void warnIfWriteFailed(const Path& path, const WriteResult& result, const std::string& label);
  // Aborts the transactions a write at `path` overrules and reruns the rest; nothing without
  // a transaction engine.
  void abortAndRerunTransactions(const Path& path, const std::string& reason);
  void rerunTransactions(const Path& path);
  void raiseEvents(Events events) { eventRaiser_.raiseEvents(std::move(events)); }
  // The connection's listens (a debugging aid).
  std::vector<QuerySpec> dumpListens() const { return connection_->dumpListens(); }
  SyncTree* serverSyncTree() const { return serverSyncTree_.get(); }
  PersistentConnection& connection() const { return *connection_; }
  const OffsetClock& serverClock() const { return *serverClock_; }
  EventRaiser& eventRaiser() { return eventRaiser_; }
  // The running transactions (made at set-up), for tests and diagnostics.
  const TransactionQueue* transactionQueue() const { return transactionQueue_.get(); }
  // The acknowledged on-disconnect writes (made at set-up), for tests and diagnostics.
  const OnDisconnectWrites* onDisconnectWrites() const { return onDisconnectWrites_.get(); }
  // Whether the store is this repository's (persistence on and the store not in use elsewhere).
  bool hasPersistence() const { return persistence_.manager != nullptr; }

  // PersistentConnectionDelegate
  void onDataUpdate(PersistentConnection* connection, const std::string& pathString,
                    PushedData message, bool isMerge, std::optional<int64_t> tagId) override;
  void onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                    std::optional<int64_t> tagId) override;
  void onConnect(PersistentConnection* connection) override;
  void onDisconnect(PersistentConnection* connection) override;
  void onServerInfoUpdate(PersistentConnection* connection, const Value::Map& updates) override;

 private:
  Repo(RepoInfoPtr repoInfo, DatabaseConfigPtr config, RepoDependencies dependencies);
  void deferredInit();
  std::shared_ptr<SyncTree> makeServerSyncTree();
  void restoreWrites();
  void setupNotifications();
  void didEnterBackground();
  // Sends a write and routes its completion back here.
  WriteCallback writeCompletion(WriteId writeId, const Path& path, std::string label,
                                RepoWriteCallback callback);
  void applyServerEvents(const Path& path, Events events);
  // A server overwrite; null data (that cannot be stored) is dropped with a warning.
  void applyServerOverwrite(const Path& path, NodePtr node, std::optional<int64_t> tagId);
  // False (after a log line) once disposed or before set-up: the call does nothing.
  bool usable(const char* operation) const;
  // The same for a write, whose callback then hears that the repository is disposed.
  bool usable(const char* operation, const RepoWriteCallback& callback);

  const RepoInfoPtr repoInfo_;
  const DatabaseConfigPtr config_;
  const platform::DispatchQueuePtr queue_;
  platform::NotificationCenter* const notificationCenter_;
  const std::shared_ptr<OffsetClock> serverClock_;
  std::shared_ptr<PersistentConnection> connection_;
  EventRaiser eventRaiser_;
  // Both live as long as the process: the registry keeps the repository, which keeps this.
  std::shared_ptr<Database> database_;
  std::atomic<bool> disposed_{false};
  bool initialized_ = false;

  // Made by deferredInit on the work queue.
  RepoPersistence persistence_;
  std::unique_ptr<DotInfoTree> infoTree_;
  std::shared_ptr<SyncTree> serverSyncTree_;
  WriteId writeIdCounter_ = 0;
  TokenListenerRegistrationPtr tokenListener_;
  platform::NotificationCenter::ObserverToken backgroundObserver_ = 0;
  std::shared_ptr<TransactionQueue> transactionQueue_;
  std::shared_ptr<RepoTransactionHooks> transactions_;
  std::shared_ptr<OnDisconnectWrites> onDisconnectWrites_;
  std::shared_ptr<RepoOnDisconnectHooks> onDisconnect_;
};

using RepoPtr = std::shared_ptr<Repo>;

}  // namespace dz::database
