// PersistentConnection: the request layer between the repository and the server. Holds at most one
// realtime connection at a time, fetches a token before every attempt, authenticates, restores
// listens, pending writes and queued on-disconnect operations after every (re)connection, matches
// replies to requests, hands pushes to its delegate, and reconnects with backoff for as long as
// nothing interrupts it. Every method must be called on the work queue given at creation, where
// every callback runs too. Owned by the repository (std::shared_ptr); the delegate is held weakly.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/core/database_config.h"
#include "database/core/outstanding_on_disconnect.h"
#include "database/core/outstanding_put.h"
#include "database/core/outstanding_query.h"
#include "database/core/persistent_connection_delegate.h"
#include "database/core/retry_helper.h"
#include "database/realtime/realtime_connection.h"
#include "database/utilities/atomic_number.h"
#include "platform/dispatch_queue.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/scheduler.h"

namespace dz::database {

class RepoInfo;

inline constexpr char kInterruptWaitingForOpen[] = "waiting_for_open";
inline constexpr char kInterruptServerKill[] = "server_kill";
inline constexpr char kInterruptRepo[] = "repo_interrupt";

// The seams below a PersistentConnection; each empty member means the real thing.
struct PersistentConnectionDependencies {
  RealtimeConnectionFactory connectionFactory;
  // Backoff, keep-alive and the monotonic clock of the connection's lifetime.
  std::shared_ptr<platform::Scheduler> scheduler;
  RetryHelper::RandomSource random;
  platform::Reachability* reachability = nullptr;  // must outlive the connection
  platform::NotificationCenter* notificationCenter = nullptr;
};

class PersistentConnection : public ConnectionDelegate,
                             public std::enable_shared_from_this<PersistentConnection> {
 public:
  enum class State : int32_t {
    Offline = 0,
    FetchingToken = 1,
    Opening = 2,
    Authorizing = 3,
    Online = 4,
  };

  using Dependencies = PersistentConnectionDependencies;

  // Offline until open(). May be called on any thread; everything else runs on `queue`. Throws
  // dz::Exception NSInternalInconsistencyException "Expected auth token provider" when the config
  // has none.
  static std::shared_ptr<PersistentConnection> create(std::shared_ptr<RepoInfo> repoInfo,
                                                      platform::DispatchQueuePtr queue,
                                                      DatabaseConfigPtr config,
                                                      Dependencies dependencies = {});
  PersistentConnection(const PersistentConnection&) = delete;
  PersistentConnection& operator=(const PersistentConnection&) = delete;
  ~PersistentConnection() override;

  void setDelegate(std::weak_ptr<PersistentConnectionDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  // Connection control.
  void open();
  void interruptForReason(const std::string& reason);
  void resumeForReason(const std::string& reason);
  bool isInterruptedForReason(const std::string& reason) const;
  void refreshAuthToken(std::optional<std::string> token);

  State state() const { return connectionState_; }
  bool connected() const;
  bool canSendWrites() const { return connectionState_ == State::Online; }

  // Listens. Misuse (a second listen for one query, a complete non-default query) throws
  // dz::Exception NSInternalInconsistencyException.
  void listen(const QuerySpec& query, std::optional<QueryTag> tagId,
              std::shared_ptr<const SyncTreeHash> hash, ListenCallback onComplete);
  void unlisten(const QuerySpec& query, std::optional<QueryTag> tagId);

  // Writes: sent at once while online, else kept and sent after the next ready, in order.
  // The data goes out in export form (priorities kept); a merge as each relative path's value.
  void putData(NodePtr data, const std::string& pathString, std::optional<std::string> hash,
               WriteCallback onComplete);
  void mergeData(CompoundWrite data, const std::string& pathString, WriteCallback onComplete);
  void onDisconnectPutData(NodePtr data, const Path& path, WriteCallback onComplete);
  void onDisconnectMergeData(CompoundWrite data, const Path& path, WriteCallback onComplete);
  void onDisconnectCancelPath(const Path& path, WriteCallback onComplete);
  // Completes every pending write and on-disconnect operation (queued, or sent and unanswered)
  // with "write_canceled"; none of them is sent or reported otherwise afterwards. Replies held
  // back until the listens are answered are handed on first.
  void purgeOutstandingWrites();
  // Hands on now the write replies held back until the listens are answered.
  void ackPuts();
  // Like a purge without the held replies, with the given outcome.
  void failOutstandingWrites(const WriteResult& result);

  // Diagnostics.
  std::vector<QuerySpec> dumpListens() const;
  size_t outstandingPutCount() const { return outstandingPuts_.size(); }

  // ConnectionDelegate
  void onReady(RealtimeConnection* connection, double timestamp,
               const std::string& sessionId) override;
  void onDataMessage(RealtimeConnection* connection, ServerMessage message) override;
  void onDisconnect(RealtimeConnection* connection, ConnectionCloseReason reason) override;
  void onKill(RealtimeConnection* connection, const std::string& reason) override;

 private:
  using ReplyCallback = std::function<void(const Reply& reply)>;

  PersistentConnection(std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue,
                       DatabaseConfigPtr config, Dependencies dependencies);
  void setupNotifications();
  void noteInterruptReason(const std::string& reason);
  bool isCurrent(RealtimeConnection* connection) const;

  // Connection lifecycle.
  void tryScheduleReconnect();
  void fetchTokenAndConnect();
  void onTokenFetched(uint64_t attempt, std::optional<std::string> token, ErrorPtr error);
  void openNetworkConnection(std::optional<std::string> token);
  void restoreAuth();
  void sendAuthAndRestoreStateAfterComplete(bool restoreStateAfterComplete);
  void onAuthRevoked(const std::string& status, const std::string& reason);
  void restoreState();
  void handleTimestamp(double timestamp);
  void sendConnectStats();
  void closeRealtime();
  void onNetworkTrigger();

  // Requests.
  void sendAction(std::string_view action, RequestBody body, bool sensitive,
                  ReplyCallback callback);
  void sendListen(const std::shared_ptr<OutstandingQuery>& listen);
  void onListenReply(const std::shared_ptr<OutstandingQuery>& listen, const Reply& reply);
  void warnOnListenWarnings(const Reply& reply, const QuerySpec& query);
  std::vector<std::shared_ptr<OutstandingQuery>> removeListen(const QuerySpec& query);
  void putInternal(RequestData data, std::string_view action, const std::string& pathString,
                   std::optional<std::string> hash, WriteCallback onComplete);
  void sendPut(uint64_t putId);
  void sendOnDisconnect(TupleOnDisconnect operation);
  void queueOrSendOnDisconnect(std::string_view action, const Path& path, RequestData data,
                               WriteCallback onComplete);
  void cancelSentTransactions();
  void failUnansweredOnDisconnects();
  // Replies and pushes, by kind.
  void onServerMessage(RefusedMessage refused);
  void onServerMessage(Reply reply);
  void onServerMessage(ServerError error);
  void onServerMessage(DataPush push);
  void onServerMessage(MergePush push);
  void onServerMessage(RangeMergePush push);
  void onServerMessage(AuthRevokedPush push);
  void onServerMessage(ListenRevokedPush push);
  void onServerMessage(SecurityDebugPush push);
  void onServerMessage(UnknownPush push);
  // Hands a data push to the delegate; data it cannot store drops the push, not the connection.
  void deliverPush(const std::function<void(PersistentConnectionDelegate&)>& deliver);
  void onListenRevoked(const Path& path);

  State connectionState_ = State::Offline;
  bool firstConnection_ = true;
  double lastConnectionEstablishedTime_ = 0;  // seconds since 1970; 0 while none is ready
  std::optional<platform::TimePoint> connectionEstablishedAt_;  // monotonic
  bool forceAuthTokenRefresh_ = false;
  std::weak_ptr<PersistentConnectionDelegate> delegate_;
  std::shared_ptr<RealtimeConnection> realtime_;
  std::unordered_map<QuerySpec, std::shared_ptr<OutstandingQuery>> listens_;
  std::map<uint64_t, std::shared_ptr<OutstandingPut>> outstandingPuts_;
  std::vector<TupleOnDisconnect> onDisconnectQueue_;
  // On-disconnect operations sent on the current connection and not yet answered, by send order.
  std::map<uint64_t, TupleOnDisconnect> sentOnDisconnects_;
  uint64_t onDisconnectCounter_ = 0;
  std::shared_ptr<RepoInfo> repoInfo_;
  AtomicNumber putCounter_;
  AtomicNumber requestNumber_;
  std::map<int64_t, ReplyCallback> requestCBHash_;
  DatabaseConfigPtr config_;
  uint64_t unackedListensCount_ = 0;
  std::vector<TupleCallbackStatus> putsToAck_;
  platform::DispatchQueuePtr dispatchQueue_;
  std::optional<std::string> lastSessionID_;
  std::set<std::string> interruptReasons_;
  std::shared_ptr<RetryHelper> retryHelper_;
  AuthTokenProviderPtr authTokenProvider_;
  std::optional<std::string> authToken_;
  uint64_t currentFetchTokenAttempt_ = 0;
  // The repository handed over a token while a fetch was under way: it is newer than the fetch's.
  bool tokenChangedDuringFetch_ = false;

  RealtimeConnectionFactory connectionFactory_;
  std::shared_ptr<platform::Scheduler> scheduler_;
  platform::Reachability* reachability_;
  platform::Reachability::ObserverToken reachabilityToken_ = 0;
  platform::NotificationCenter* notificationCenter_;
  platform::NotificationCenter::ObserverToken foregroundToken_ = 0;
};

}  // namespace dz::database
