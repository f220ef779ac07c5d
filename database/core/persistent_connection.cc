#include "database/core/persistent_connection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

#include "database/realtime/json_fields.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/client_version.h"
#include "database/utilities/logging.h"
#include "database/utilities/repo_info.h"
#include "database/utilities/wire_protocol.h"
#include "platform/application_notifications.h"
#include "platform/exception.h"
#include "platform/wall_clock.h"

namespace dz::database {
namespace {

constexpr char kListenCalledCode[] = "I-RDB03401";
constexpr char kUnlisteningCode[] = "I-RDB03402";
constexpr char kOnReadyCode[] = "I-RDB03403";
constexpr char kOnDisconnectCode[] = "I-RDB03404";
constexpr char kKilledCode[] = "I-RDB03405";
constexpr char kInterruptedCode[] = "I-RDB03406";
constexpr char kResumedCode[] = "I-RDB03407";
constexpr char kSchedulingCode[] = "I-RDB03408";
constexpr char kFetchingTokenCode[] = "I-RDB03409";
constexpr char kTokenErrorCode[] = "I-RDB03410";
constexpr char kTokenFetchedCode[] = "I-RDB03411";
constexpr char kNotOpeningCode[] = "I-RDB03412";
constexpr char kStaleTokenCode[] = "I-RDB03413";
constexpr char kReachableCode[] = "I-RDB03414";
constexpr char kUnreachableCode[] = "I-RDB03415";
constexpr char kNoReachabilityCode[] = "I-RDB03416";
constexpr char kAuthFailedDebugCode[] = "I-RDB03417";
constexpr char kAuthFailedWarningCode[] = "I-RDB03418";
constexpr char kAuthRevokedDebugCode[] = "I-RDB03419";
constexpr char kAuthRevokedWarningCode[] = "I-RDB03420";
constexpr char kOnDisconnectRequestCode[] = "I-RDB03421";
constexpr char kIgnoringPutReplyCode[] = "I-RDB03422";
constexpr char kUnlistenOnCode[] = "I-RDB03423";
constexpr char kPutSentCode[] = "I-RDB03424";
constexpr char kPutQueuedCode[] = "I-RDB03425";
constexpr char kListenForCode[] = "I-RDB03426";
constexpr char kListenResponseCode[] = "I-RDB03427";
constexpr char kIndexWarningCode[] = "I-RDB03428";
constexpr char kServerMessageCode[] = "I-RDB03429";
constexpr char kMalformedPushCode[] = "I-RDB03430";
constexpr char kSecurityDebugCode[] = "I-RDB03431";
constexpr char kUnsupportedActionCode[] = "I-RDB03432";
constexpr char kRestoreStateCode[] = "I-RDB03433";
constexpr char kNoAuthCode[] = "I-RDB03434";
constexpr char kRestoringAuthCode[] = "I-RDB03435";
constexpr char kRestoringListenCode[] = "I-RDB03436";
constexpr char kRestoringPutCode[] = "I-RDB03437";
constexpr char kSkippedPutCode[] = "I-RDB03438";
constexpr char kNoListenerCode[] = "I-RDB03439";
constexpr char kRevokingListensCode[] = "I-RDB03440";
constexpr char kTimestampCode[] = "I-RDB03441";
constexpr char kStatsFailedCode[] = "I-RDB03442";
constexpr char kNoStatsCode[] = "I-RDB03443";
constexpr char kSendingStatsCode[] = "I-RDB03444";
// Lines of this implementation's own: replies and pushes it cannot use.
constexpr char kServerErrorCode[] = "I-RDB03445";
constexpr char kBadReplyCode[] = "I-RDB03446";

constexpr char kServerTimeOffsetKey[] = "serverTimeOffset";
constexpr char kServerErrorName[] = "DezuvuraDatabaseServerError";
constexpr char kStatsSdkPrefix[] = "sdk.objc.";
constexpr char kStatsPersistenceEnabled[] = "persistence.ios.enabled";
constexpr char kTransactionDisconnectReason[] =
    "Client was disconnected while running a transaction";
// The server may or may not have registered an on-disconnect operation it had not answered when
// the connection ended; the caller decides whether to register it again.
constexpr char kOnDisconnectUnconfirmedReason[] =
    "The connection ended before the server confirmed the request";
constexpr char kDefaultAuthFailureData[] = "error";
// A connection that lived longer than this was healthy: the next attempt needs no backoff.
constexpr auto kSuccessfulConnectionEstablishedDelay = std::chrono::seconds(30);

const RetryHelper::Options kRetryOptions{
    .minRetryDelayAfterFailure = 1.0,
    .maxRetryDelay = 30.0,
    .retryExponent = static_cast<double>(1.3f),
    .jitterFactor = 0.7,
};

void check(bool condition, const std::string& message) {
  if (!condition) throw Exception(kInternalInconsistencyException, message);
}

// A number as the server wrote it: milliseconds without a fraction read "1700000000000".
std::string numberText(double number) {
  if (std::trunc(number) == number && std::fabs(number) < 0x1p53) {
    return std::to_string(static_cast<int64_t>(number));
  }
  return json::text(boost::json::value(number));
}

std::string stateText(PersistentConnection::State state) {
  return std::to_string(static_cast<int32_t>(state));
}

// Replies reach their callbacks only with a status string (see onDataMessage).
std::string statusOf(const boost::json::object& reply) {
  auto status = json::asString(json::member(reply, wire::kReplyStatus));
  return status ? std::string(*status) : std::string();
}

// The reply's "d" when it is text: the reason a failed write reports to its caller.
std::optional<std::string> reasonOf(const boost::json::object& reply) {
  auto reason = json::asString(json::member(reply, wire::kReplyData));
  if (!reason) return std::nullopt;
  return std::string(*reason);
}

std::string stringOrText(const boost::json::value* value) {
  if (!value) return std::string();
  if (auto s = json::asString(value)) return std::string(*s);
  return json::text(*value);
}

// The tag of a push: none when absent; false when present but not an integer.
bool readTag(const boost::json::object& body, std::optional<int64_t>& tag) {
  const boost::json::value* value = json::member(body, wire::kBodyTag);
  if (!value || value->is_null()) return true;
  tag = json::asInt64(value);
  return tag.has_value();
}

}  // namespace

std::shared_ptr<PersistentConnection> PersistentConnection::create(
    std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue, DatabaseConfigPtr config,
    Dependencies dependencies) {
  check(config && config->authTokenProvider(), "Expected auth token provider");
  auto connection = std::shared_ptr<PersistentConnection>(new PersistentConnection(
      std::move(repoInfo), std::move(queue), std::move(config), std::move(dependencies)));
  // Interrupted before any trigger can reach it: the repository makes its connection on its own
  // thread, while network and foreground triggers already run on the work queue.
  connection->interruptForReason(kInterruptWaitingForOpen);
  connection->setupNotifications();
  return connection;
}

PersistentConnection::PersistentConnection(std::shared_ptr<RepoInfo> repoInfo,
                                           platform::DispatchQueuePtr queue,
                                           DatabaseConfigPtr config, Dependencies dependencies)
    : repoInfo_(std::move(repoInfo)),
      config_(std::move(config)),
      dispatchQueue_(std::move(queue)),
      authTokenProvider_(config_->authTokenProvider()),
      scheduler_(dependencies.scheduler ? std::move(dependencies.scheduler)
                                        : platform::Scheduler::system()),
      reachability_(dependencies.reachability ? dependencies.reachability
                                              : &platform::Reachability::shared()),
      notificationCenter_(dependencies.notificationCenter
                              ? dependencies.notificationCenter
                              : &platform::NotificationCenter::defaultCenter()) {
  connectionFactory_ = dependencies.connectionFactory
                           ? std::move(dependencies.connectionFactory)
                           : Connection::factory(WebSocketConnection::Dependencies{scheduler_, {}});
  retryHelper_ = RetryHelper::create(dispatchQueue_, kRetryOptions, scheduler_,
                                     std::move(dependencies.random));
}

PersistentConnection::~PersistentConnection() {
  if (reachabilityToken_) reachability_->removeObserver(reachabilityToken_);
  if (foregroundToken_) notificationCenter_->removeObserver(foregroundToken_);
  // The socket is driven from the work queue only: a connection let go of on another thread is
  // closed there (it reports to no one, this delegate being gone).
  if (realtime_) {
    dispatchQueue_->async([realtime = std::move(realtime_)] { realtime->close(); });
  }
}

void PersistentConnection::setupNotifications() {
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  foregroundToken_ = notificationCenter_->addObserver(
      platform::kApplicationWillEnterForegroundNotification, nullptr, dispatchQueue_,
      [weakSelf](const platform::Notification&) {
        if (auto self = weakSelf.lock()) self->onNetworkTrigger();
      });
  reachabilityToken_ = reachability_->addObserver(dispatchQueue_, [weakSelf](bool reachable) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (reachable) {
      logDebug(kReachableCode, "Network became reachable. Trigger a connection attempt");
      self->onNetworkTrigger();
    } else {
      logDebug(kUnreachableCode, "Network is not reachable");
    }
  });
  if (!reachabilityToken_) {
    logDebug(kNoReachabilityCode, "Failed to set up network reachability monitoring");
  }
}

void PersistentConnection::onNetworkTrigger() {
  retryHelper_->signalSuccess();
  if (connectionState_ == State::Offline) tryScheduleReconnect();
}

bool PersistentConnection::isCurrent(RealtimeConnection* connection) const {
  return connection && connection == realtime_.get();
}

bool PersistentConnection::connected() const {
  return connectionState_ == State::Authorizing || connectionState_ == State::Online;
}

// Connection control

void PersistentConnection::open() { resumeForReason(kInterruptWaitingForOpen); }

void PersistentConnection::interruptForReason(const std::string& reason) {
  logDebug(kInterruptedCode, "Connection interrupted for: " + reason);
  interruptReasons_.insert(reason);
  if (realtime_) {
    closeRealtime();
  } else {
    retryHelper_->cancel();
    connectionState_ = State::Offline;
  }
  retryHelper_->signalSuccess();
}

void PersistentConnection::resumeForReason(const std::string& reason) {
  logDebug(kResumedCode, "Connection no longer interrupted for: " + reason);
  interruptReasons_.erase(reason);
  if (interruptReasons_.empty() && connectionState_ == State::Offline) tryScheduleReconnect();
}

bool PersistentConnection::isInterruptedForReason(const std::string& reason) const {
  return interruptReasons_.contains(reason);
}

void PersistentConnection::refreshAuthToken(std::optional<std::string> token) {
  authToken_ = std::move(token);
  // A fetch under way may answer with the token of before a sign-in or sign-out.
  if (connectionState_ == State::FetchingToken) tokenChangedDuringFetch_ = true;
  if (!connected()) return;
  if (authToken_) {
    sendAuthAndRestoreStateAfterComplete(false);
  } else {
    sendAction(wire::kActionUnauth, {}, false, nullptr);
  }
}

void PersistentConnection::closeRealtime() {
  auto realtime = realtime_;
  if (!realtime) return;
  realtime->close();
  // A connection that had already ended reports nothing more: finish its disconnect here.
  if (realtime_ == realtime) onDisconnect(realtime.get(), ConnectionCloseReason::Other);
}

void PersistentConnection::tryScheduleReconnect() {
  if (!interruptReasons_.empty()) return;
  check(connectionState_ == State::Offline,
        "Not in disconnected state: " + stateText(connectionState_));
  logDebug(kSchedulingCode, "Scheduling connection attempt");
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  retryHelper_->retry([weakSelf] {
    if (auto self = weakSelf.lock()) self->fetchTokenAndConnect();
  });
}

void PersistentConnection::fetchTokenAndConnect() {
  logDebug(kFetchingTokenCode, "Trying to fetch auth token");
  check(connectionState_ == State::Offline,
        "Not in disconnected state: " + stateText(connectionState_));
  // Taken when the attempt runs, not when it is scheduled, so that an attempt that replaces a
  // pending one (network back, foreground) still forces the refresh.
  bool forceRefresh = forceAuthTokenRefresh_;
  forceAuthTokenRefresh_ = false;
  connectionState_ = State::FetchingToken;
  tokenChangedDuringFetch_ = false;
  uint64_t attempt = ++currentFetchTokenAttempt_;
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  auto queue = dispatchQueue_;
  auto answered = std::make_shared<std::atomic<bool>>(false);
  authTokenProvider_->fetchTokenForcingRefresh(
      forceRefresh,
      [weakSelf, attempt, queue, answered](std::optional<std::string> token, ErrorPtr error) {
        if (answered->exchange(true)) return;  // a provider that answers twice is heard once
        auto deliver = [weakSelf, attempt, token = std::move(token), error] {
          if (auto self = weakSelf.lock()) self->onTokenFetched(attempt, token, error);
        };
        // Providers answer on the work queue; one that does not is moved there.
        if (queue->isCurrent()) {
          deliver();
        } else {
          queue->async(std::move(deliver));
        }
      });
}

void PersistentConnection::onTokenFetched(uint64_t attempt, std::optional<std::string> token,
                                          ErrorPtr error) {
  if (attempt != currentFetchTokenAttempt_) {
    logDebug(kStaleTokenCode,
             "Ignoring fetch token result, because this was not the latest attempt.");
    return;
  }
  if (error) {
    connectionState_ = State::Offline;
    logDebug(kTokenErrorCode, "Error fetching token: " + error->localizedDescription());
    tryScheduleReconnect();
    return;
  }
  if (connectionState_ == State::FetchingToken) {
    logDebug(kTokenFetchedCode, "Successfully fetched token, opening connection");
    openNetworkConnection(std::move(token));
  } else {
    check(connectionState_ == State::Offline,
          "Expected connection state disconnected, but got " + stateText(connectionState_));
    logDebug(kNotOpeningCode,
             "Not opening connection after token refresh, because connection was set to "
             "disconnected.");
  }
}

void PersistentConnection::openNetworkConnection(std::optional<std::string> token) {
  check(connectionState_ == State::FetchingToken,
        "Trying to open network connection while in wrong state: " + stateText(connectionState_));
  if (!tokenChangedDuringFetch_) authToken_ = std::move(token);
  tokenChangedDuringFetch_ = false;
  connectionState_ = State::Opening;
  auto realtime = connectionFactory_(repoInfo_, dispatchQueue_, lastSessionID_, weak_from_this());
  realtime_ = realtime;
  realtime->open();
}

void PersistentConnection::onReady(RealtimeConnection* connection, double timestamp,
                                   const std::string& sessionId) {
  // A ready from a connection that is no longer ours, or a second one, changes nothing.
  if (!isCurrent(connection) || connectionState_ != State::Opening) return;
  logDebug(kOnReadyCode, "On ready");
  lastConnectionEstablishedTime_ = platform::wallClockSeconds();
  connectionEstablishedAt_ = scheduler_->now();
  handleTimestamp(timestamp);
  if (!isCurrent(connection)) return;  // the delegate closed it
  if (firstConnection_) sendConnectStats();
  restoreAuth();
  firstConnection_ = false;
  lastSessionID_ = sessionId.empty() ? std::nullopt : std::optional<std::string>(sessionId);

  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  std::weak_ptr<RealtimeConnection> weakConnection = realtime_;
  dispatchQueue_->async([weakSelf, weakConnection] {
    auto self = weakSelf.lock();
    auto readyConnection = weakConnection.lock();
    // Delivered only while the connection that became ready is still the current one.
    if (!self || !readyConnection || readyConnection != self->realtime_ || !self->connected()) {
      return;
    }
    if (auto delegate = self->delegate_.lock()) delegate->onConnect(self.get());
  });
}

void PersistentConnection::handleTimestamp(double timestamp) {
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kTimestampCode, "Handling timestamp: " + numberText(timestamp));
  }
  double offset = timestamp - platform::wallClockSeconds() * 1000.0;
  if (auto delegate = delegate_.lock()) {
    delegate->onServerInfoUpdate(this, Value::Map{{kServerTimeOffsetKey, Value(offset)}});
  }
}

void PersistentConnection::sendConnectStats() {
  boost::json::object stats;
  std::string version = sdkVersion();
  std::replace(version.begin(), version.end(), '.', '-');
  stats[std::string(kStatsSdkPrefix) + version] = 1;
  if (config_->persistenceEnabled()) stats[kStatsPersistenceEnabled] = 1;
  logDebug(kSendingStatsCode, "Sending first connection stats");
  if (stats.empty()) {
    logDebug(kNoStatsCode, "Not sending stats because stats are empty");
    return;
  }
  sendAction(
      wire::kActionStats, {{wire::kStatsCounters, std::move(stats)}}, false,
      [](const boost::json::object& reply) {
        if (statusOf(reply) != wire::kStatusOk) {
          logDebug(kStatsFailedCode,
                   "Failed to send stats: " + stringOrText(json::member(reply, wire::kReplyData)));
        }
      });
}

void PersistentConnection::restoreAuth() {
  logDebug(kRestoreStateCode, "Calling restore state");
  check(connectionState_ == State::Opening,
        "Wanted to restore auth, but was in wrong state: " + stateText(connectionState_));
  if (!authToken_) {
    logDebug(kNoAuthCode, "Not restoring auth because token is nil");
    connectionState_ = State::Online;
    restoreState();
  } else {
    logDebug(kRestoringAuthCode, "Restoring auth");
    connectionState_ = State::Authorizing;
    sendAuthAndRestoreStateAfterComplete(true);
  }
}

void PersistentConnection::sendAuthAndRestoreStateAfterComplete(bool restoreStateAfterComplete) {
  check(connected(), "Must be connected to send auth");
  check(authToken_.has_value(), "Can't send auth if there is no credential");
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(wire::kActionAuth, {{wire::kAuthCredential, *authToken_}}, true,
             [weakSelf, restoreStateAfterComplete](const boost::json::object& reply) {
               auto self = weakSelf.lock();
               if (!self) return;
               self->connectionState_ = State::Online;
               std::string status = statusOf(reply);
               if (status == wire::kStatusOk) {
                 if (restoreStateAfterComplete) self->restoreState();
                 return;
               }
               const boost::json::value* data = json::member(reply, wire::kReplyData);
               std::string reason = data ? stringOrText(data) : kDefaultAuthFailureData;
               self->authToken_.reset();
               self->forceAuthTokenRefresh_ = true;
               std::string message = "Authentication failed: " + status + " (" + reason + ")";
               if (status == wire::kStatusExpiredToken) {
                 logDebug(kAuthFailedDebugCode, message);
               } else {
                 logWarning(kAuthFailedWarningCode, message);
               }
               self->closeRealtime();
             });
}

void PersistentConnection::onAuthRevoked(const std::string& status, const std::string& reason) {
  std::string message = "Auth token revoked: " + status + " (" + reason + ")";
  if (status == wire::kStatusExpiredToken) {
    logDebug(kAuthRevokedDebugCode, message);
  } else {
    logWarning(kAuthRevokedWarningCode, message);
  }
  authToken_.reset();
  forceAuthTokenRefresh_ = true;
  closeRealtime();
}

void PersistentConnection::restoreState() {
  check(connectionState_ == State::Online,
        "Should be connected if we're restoring state, but we are: " + stateText(connectionState_));
  // Listens first, so that their data arrives before the acknowledgements of the writes.
  std::vector<std::shared_ptr<OutstandingQuery>> listens;
  listens.reserve(listens_.size());
  for (const auto& entry : listens_) listens.push_back(entry.second);
  for (const auto& listen : listens) {
    if (!canSendWrites()) return;
    logDebug(kRestoringListenCode, "Restoring listen for " + listen->query.description());
    sendListen(listen);
  }

  std::vector<uint64_t> putIds;
  for (const auto& entry : outstandingPuts_) putIds.push_back(entry.first);
  for (size_t i = 0; i < putIds.size(); ++i) {
    if (!canSendWrites()) return;
    if (outstandingPuts_.contains(putIds[i])) {
      logDebug(kRestoringPutCode, "Restoring put: " + std::to_string(i));
      sendPut(putIds[i]);
    } else {
      logDebug(kSkippedPutCode, "Restoring put: skipped nil: " + std::to_string(i));
    }
  }

  auto queued = std::move(onDisconnectQueue_);
  onDisconnectQueue_.clear();
  for (size_t i = 0; i < queued.size(); ++i) {
    if (!canSendWrites()) {
      // Dropped meanwhile: what was not sent waits for the next connection.
      onDisconnectQueue_.insert(onDisconnectQueue_.begin(),
                                std::make_move_iterator(queued.begin() + i),
                                std::make_move_iterator(queued.end()));
      return;
    }
    sendOnDisconnect(std::move(queued[i]));
  }
}

void PersistentConnection::onDisconnect(RealtimeConnection* connection,
                                        ConnectionCloseReason reason) {
  if (!isCurrent(connection)) return;
  logDebug(kOnDisconnectCode,
           std::string("Got on disconnect due to ") +
               (reason == ConnectionCloseReason::ServerReset ? "server_reset" : "other"));
  auto closed = std::move(realtime_);
  realtime_ = nullptr;
  connectionState_ = State::Offline;
  cancelSentTransactions();
  // Replies of the old connection can no longer come.
  requestCBHash_.clear();
  failUnansweredOnDisconnects();
  unackedListensCount_ = 0;
  // The listens those completions waited for will be answered on another connection, if at all.
  ackPuts();
  if (interruptReasons_.empty() && connectionState_ == State::Offline && !realtime_) {
    bool livedLongEnough =
        connectionEstablishedAt_ &&
        scheduler_->now() - *connectionEstablishedAt_ > kSuccessfulConnectionEstablishedDelay;
    if (reason == ConnectionCloseReason::ServerReset || livedLongEnough) {
      retryHelper_->signalSuccess();
    }
    tryScheduleReconnect();
  }
  lastConnectionEstablishedTime_ = 0;
  connectionEstablishedAt_.reset();
  if (auto delegate = delegate_.lock()) delegate->onDisconnect(this);
}

void PersistentConnection::onKill(RealtimeConnection* connection, const std::string& reason) {
  if (!isCurrent(connection)) return;
  logWarning(kKilledCode,
             "Dezuvura Database connection was forcefully killed by the server.  Will not attempt "
             "reconnect. Reason: " +
                 reason);
  interruptForReason(kInterruptServerKill);
}

// Requests and replies

void PersistentConnection::sendAction(std::string_view action, boost::json::object body,
                                      bool sensitive, ReplyCallback callback) {
  auto realtime = realtime_;
  if (!realtime) return;
  auto number = static_cast<int64_t>(requestNumber_.getAndIncrement());
  boost::json::object request;
  request[wire::kRequestNumber] = number;
  request[wire::kRequestAction] = action;
  request[wire::kRequestBody] = std::move(body);
  realtime->sendRequest(std::move(request), sensitive);
  if (callback && realtime_ == realtime) requestCBHash_[number] = std::move(callback);
}

void PersistentConnection::onDataMessage(RealtimeConnection* connection,
                                         const boost::json::object& message) {
  if (!isCurrent(connection)) return;
  const boost::json::value* bodyValue = json::member(message, wire::kRequestBody);
  const boost::json::object* body = bodyValue ? bodyValue->if_object() : nullptr;

  if (const boost::json::value* number = json::member(message, wire::kRequestNumber)) {
    auto requestNumber = json::asInt64(number);
    if (!requestNumber) {
      logDebug(kBadReplyCode,
               "Dropping reply with an unusable request number: " + json::text(message));
      return;
    }
    // Without a status nothing can be concluded: the request stays outstanding (a write the
    // server applied must not be reported failed, nor a listen it serves dropped).
    if (!body || !json::asString(json::member(*body, wire::kReplyStatus))) {
      logDebug(kBadReplyCode, "Dropping reply without a status: " + json::text(message));
      return;
    }
    auto it = requestCBHash_.find(*requestNumber);
    if (it == requestCBHash_.end()) return;
    ReplyCallback callback = std::move(it->second);
    requestCBHash_.erase(it);
    callback(*body);
  } else if (const boost::json::value* error = json::member(message, wire::kServerError)) {
    // The server gave up on this connection: start over (with backoff) rather than end.
    logError(kServerErrorCode, std::string(kServerErrorName) + ": " + stringOrText(error));
    closeRealtime();
  } else if (auto action = json::asString(json::member(message, wire::kRequestAction))) {
    if (!body) {
      logDebug(kMalformedPushCode, "Dropping push without a body: " + json::text(message));
      return;
    }
    onDataPush(std::string(*action), *body);
  }
}

// Listens

void PersistentConnection::listen(const QuerySpec& query, std::optional<QueryTag> tagId,
                                  std::shared_ptr<const SyncTreeHash> hash,
                                  ListenCallback onComplete) {
  logDebug(kListenCalledCode, "Listen called for " + query.description());
  check(!listens_.contains(query), "listen() called twice for the same query");
  check(query.isDefault() || !query.loadsAllData(),
        "listen called for non-default but complete query");
  auto listen = std::make_shared<OutstandingQuery>(
      OutstandingQuery{query, tagId, std::move(hash), std::move(onComplete)});
  listens_[query] = listen;
  // While authorizing, the restore that follows the auth reply sends it: once per connection.
  if (canSendWrites()) sendListen(listen);
}

void PersistentConnection::sendListen(const std::shared_ptr<OutstandingQuery>& listen) {
  const QuerySpec& query = listen->query;
  logDebug(kListenForCode, "Listen for " + query.description());
  boost::json::object body;
  body[wire::kBodyPath] = query.path().toString();
  if (listen->tagId) {
    body[wire::kBodyQuery] = Value(query.params().wireProtocolParams()).toJson();
    body[wire::kBodyTag] = *listen->tagId;
  }
  const auto& hash = listen->syncTreeHash;
  body[wire::kBodyHash] = hash ? hash->simpleHash() : std::string();
  if (hash && hash->includeCompoundHash()) {
    CompoundHash compound = hash->compoundHash();
    boost::json::array hashes, posts;
    for (const auto& h : compound.hashes) hashes.emplace_back(h);
    for (const auto& post : compound.posts) posts.emplace_back(post.wireFormat());
    body[wire::kBodyCompoundHash] =
        boost::json::object{{wire::kCompoundHashHashes, std::move(hashes)},
                            {wire::kCompoundHashPosts, std::move(posts)}};
  }
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(wire::kActionListen, std::move(body), false,
             [weakSelf, listen](const boost::json::object& reply) {
               if (auto self = weakSelf.lock()) self->onListenReply(listen, reply);
             });
  ++unackedListensCount_;
}

void PersistentConnection::onListenReply(const std::shared_ptr<OutstandingQuery>& listen,
                                         const boost::json::object& reply) {
  logDebug(kListenResponseCode, "Listen response " + json::text(reply));
  std::string status = statusOf(reply);
  warnOnListenWarnings(json::member(reply, wire::kReplyData), listen->query);
  auto it = listens_.find(listen->query);
  // Only the very record this reply was for: a newer listen for the query is not completed.
  if (it != listens_.end() && it->second == listen) {
    if (status != wire::kStatusOk) removeListen(listen->query);
    if (listen->onComplete) listen->onComplete(status);
  }
  if (unackedListensCount_ > 0) --unackedListensCount_;
  if (unackedListensCount_ == 0) ackPuts();
}

void PersistentConnection::warnOnListenWarnings(const boost::json::value* payload,
                                                const QuerySpec& query) {
  const boost::json::value* warnings =
      payload ? json::member(*payload, wire::kListenWarnings) : nullptr;
  const boost::json::array* list = warnings ? warnings->if_array() : nullptr;
  if (!list) return;
  bool noIndex = std::any_of(list->begin(), list->end(), [](const boost::json::value& w) {
    return json::isString(&w, wire::kWarningNoIndex);
  });
  if (!noIndex) return;
  std::string advice = "\".indexOn\": \"" + query.params().index()->queryDefinition() + "\"";
  logWarning(kIndexWarningCode, "Using an unspecified index. Consider adding " + advice + " at " +
                                    query.path().description() +
                                    " to your security rules for better performance");
}

std::vector<std::shared_ptr<OutstandingQuery>> PersistentConnection::removeListen(
    const QuerySpec& query) {
  check(query.isDefault() || !query.loadsAllData(),
        "removeListen called for non-default but complete query");
  auto it = listens_.find(query);
  if (it == listens_.end()) {
    logDebug(kNoListenerCode, "Trying to remove listener for query " + query.description() +
                                  " but no listener exists");
    return {};
  }
  auto removed = std::move(it->second);
  listens_.erase(it);
  return {removed};
}

void PersistentConnection::unlisten(const QuerySpec& query, std::optional<QueryTag> tagId) {
  logDebug(kUnlisteningCode, "Unlistening for " + query.description());
  auto removed = removeListen(query);
  // Listens go out only once online (see listen()), so only then is there one to withdraw.
  if (removed.empty() || !canSendWrites()) return;
  logDebug(kUnlistenOnCode,
           "Unlisten on " + query.path().description() + " for " + query.params().description());
  boost::json::object body;
  body[wire::kBodyPath] = query.path().toString();
  if (tagId) {
    body[wire::kBodyQuery] = Value(query.params().wireProtocolParams()).toJson();
    body[wire::kBodyTag] = *tagId;
  }
  sendAction(wire::kActionUnlisten, std::move(body), false, nullptr);
}

std::vector<QuerySpec> PersistentConnection::dumpListens() const {
  std::vector<QuerySpec> queries;
  for (const auto& entry : listens_) queries.push_back(entry.first);
  return queries;
}

void PersistentConnection::onListenRevoked(const Path& path) {
  logDebug(kRevokingListensCode, "Removing all listens at path " + path.description());
  std::vector<std::shared_ptr<OutstandingQuery>> revoked;
  for (auto it = listens_.begin(); it != listens_.end();) {
    if (it->first.path() == path) {
      revoked.push_back(std::move(it->second));
      it = listens_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& listen : revoked) {
    if (listen->onComplete) listen->onComplete(std::string(wire::kStatusPermissionDenied));
  }
}

// Writes

void PersistentConnection::putData(boost::json::value data, const std::string& pathString,
                                   std::optional<std::string> hash, WriteCallback onComplete) {
  putInternal(std::move(data), wire::kActionPut, pathString, std::move(hash),
              std::move(onComplete));
}

void PersistentConnection::mergeData(boost::json::object data, const std::string& pathString,
                                     WriteCallback onComplete) {
  putInternal(std::move(data), wire::kActionMerge, pathString, std::nullopt, std::move(onComplete));
}

void PersistentConnection::putInternal(boost::json::value data, std::string_view action,
                                       const std::string& pathString,
                                       std::optional<std::string> hash, WriteCallback onComplete) {
  boost::json::object request;
  request[wire::kBodyPath] = pathString;
  request[wire::kBodyData] = std::move(data);
  if (hash) request[wire::kBodyHash] = *hash;
  auto put = std::make_shared<OutstandingPut>(
      OutstandingPut{false, std::string(action), std::move(request), std::move(onComplete)});
  uint64_t putId = putCounter_.getAndIncrement();
  outstandingPuts_[putId] = put;
  if (canSendWrites()) {
    logDebug(kPutSentCode, "Was connected, and added as index: " + std::to_string(putId));
    sendPut(putId);
  } else {
    logDebug(kPutQueuedCode,
             "Wasn't connected or writes paused, so added to outstanding puts only. Path: " +
                 pathString);
  }
}

void PersistentConnection::sendPut(uint64_t putId) {
  check(canSendWrites(), "sendPut called when not able to send writes");
  auto it = outstandingPuts_.find(putId);
  if (it == outstandingPuts_.end()) return;
  auto put = it->second;
  put->sent = true;
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(
      put->action, put->request, false, [weakSelf, putId, put](const boost::json::object& reply) {
        auto self = weakSelf.lock();
        if (!self) return;
        auto it = self->outstandingPuts_.find(putId);
        if (it == self->outstandingPuts_.end() || it->second != put) {
          logDebug(kIgnoringPutReplyCode, "Ignoring on complete for put " + std::to_string(putId) +
                                              " because it was already removed");
          return;
        }
        self->outstandingPuts_.erase(it);
        if (!put->onCompleteBlock) return;
        std::string status = statusOf(reply);
        std::optional<std::string> reason = reasonOf(reply);
        if (self->unackedListensCount_ > 0) {
          self->putsToAck_.push_back({put->onCompleteBlock, status, reason});
        } else {
          put->onCompleteBlock(status, reason);
        }
      });
}

void PersistentConnection::ackPuts() {
  auto held = std::move(putsToAck_);
  putsToAck_.clear();
  for (const auto& completion : held) completion.block(completion.status, completion.errorReason);
}

void PersistentConnection::purgeOutstandingWrites() {
  ackPuts();
  failOutstandingWrites(std::string(wire::kStatusWriteCanceled), std::nullopt);
}

void PersistentConnection::failOutstandingWrites(const std::string& status,
                                                 const std::optional<std::string>& reason) {
  auto puts = std::move(outstandingPuts_);
  outstandingPuts_.clear();
  // Sent on-disconnect operations too: their late replies then find nothing to complete.
  auto sent = std::move(sentOnDisconnects_);
  sentOnDisconnects_.clear();
  auto queued = std::move(onDisconnectQueue_);
  onDisconnectQueue_.clear();
  for (const auto& entry : puts) {
    if (entry.second->onCompleteBlock) entry.second->onCompleteBlock(status, reason);
  }
  for (const auto& entry : sent) {
    if (entry.second.onComplete) entry.second.onComplete(status, reason);
  }
  for (const auto& operation : queued) {
    if (operation.onComplete) operation.onComplete(status, reason);
  }
}

void PersistentConnection::cancelSentTransactions() {
  std::vector<std::shared_ptr<OutstandingPut>> canceled;
  for (auto it = outstandingPuts_.begin(); it != outstandingPuts_.end();) {
    if (it->second->sent && it->second->request.contains(wire::kBodyHash)) {
      canceled.push_back(std::move(it->second));
      it = outstandingPuts_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& put : canceled) {
    if (put->onCompleteBlock) {
      put->onCompleteBlock(std::string(wire::kStatusDisconnect), kTransactionDisconnectReason);
    }
  }
}

// On-disconnect operations

void PersistentConnection::onDisconnectPutData(boost::json::value data, const Path& path,
                                               WriteCallback onComplete) {
  queueOrSendOnDisconnect(wire::kActionOnDisconnectPut, path, std::move(data),
                          std::move(onComplete));
}

void PersistentConnection::onDisconnectMergeData(boost::json::object data, const Path& path,
                                                 WriteCallback onComplete) {
  queueOrSendOnDisconnect(wire::kActionOnDisconnectMerge, path, std::move(data),
                          std::move(onComplete));
}

void PersistentConnection::onDisconnectCancelPath(const Path& path, WriteCallback onComplete) {
  queueOrSendOnDisconnect(wire::kActionOnDisconnectCancel, path, nullptr, std::move(onComplete));
}

void PersistentConnection::queueOrSendOnDisconnect(std::string_view action, const Path& path,
                                                   boost::json::value data,
                                                   WriteCallback onComplete) {
  TupleOnDisconnect operation{path.description(), std::string(action), std::move(data),
                              std::move(onComplete)};
  if (canSendWrites()) {
    sendOnDisconnect(std::move(operation));
  } else {
    onDisconnectQueue_.push_back(std::move(operation));
  }
}

void PersistentConnection::sendOnDisconnect(TupleOnDisconnect operation) {
  boost::json::object body{{wire::kBodyPath, operation.pathString},
                           {wire::kBodyData, operation.data}};
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kOnDisconnectRequestCode,
             "onDisconnect " + operation.action + ": " + json::text(body));
  }
  std::string action = operation.action;
  uint64_t id = ++onDisconnectCounter_;
  sentOnDisconnects_.emplace(id, std::move(operation));
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(action, std::move(body), false, [weakSelf, id](const boost::json::object& reply) {
    auto self = weakSelf.lock();
    if (!self) return;
    auto it = self->sentOnDisconnects_.find(id);
    if (it == self->sentOnDisconnects_.end()) return;
    WriteCallback callback = std::move(it->second.onComplete);
    self->sentOnDisconnects_.erase(it);
    if (callback) callback(statusOf(reply), reasonOf(reply));
  });
}

void PersistentConnection::failUnansweredOnDisconnects() {
  // Sent but unanswered: the server may hold them already (and may have run one at this very
  // drop), so sending them again could run them twice.
  auto unanswered = std::move(sentOnDisconnects_);
  sentOnDisconnects_.clear();
  const std::string status(wire::kStatusDisconnect);
  for (const auto& entry : unanswered) {
    if (entry.second.onComplete) entry.second.onComplete(status, kOnDisconnectUnconfirmedReason);
  }
}

// Pushes

void PersistentConnection::onDataPush(const std::string& action, const boost::json::object& body) {
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kServerMessageCode, "handleServerMessage: " + action + ", " + json::text(body));
  }
  if (action == wire::kPushData || action == wire::kPushMerge) {
    auto path = json::asString(json::member(body, wire::kBodyPath));
    const boost::json::value* data = json::member(body, wire::kBodyData);
    bool isMerge = action == wire::kPushMerge;
    std::optional<int64_t> tag;
    if (!path || !data || (isMerge && !data->is_object()) || !readTag(body, tag)) {
      logDebug(kMalformedPushCode,
               "Malformed data response from server missing path or data: " + json::text(body));
      return;
    }
    if (isMerge && data->get_object().empty()) return;
    deliverPush([&](PersistentConnectionDelegate& delegate) {
      delegate.onDataUpdate(this, std::string(*path), *data, isMerge, tag);
    });
  } else if (action == wire::kPushRangeMerge) {
    onRangeMergePush(body);
  } else if (action == wire::kPushAuthRevoked) {
    onAuthRevoked(stringOrText(json::member(body, wire::kAuthRevokedStatus)),
                  stringOrText(json::member(body, wire::kAuthRevokedReason)));
  } else if (action == wire::kPushListenRevoked) {
    if (auto path = json::asString(json::member(body, wire::kBodyPath))) {
      onListenRevoked(Path(*path));
    }
  } else if (action == wire::kPushSecurityDebug) {
    if (auto message = json::asString(json::member(body, wire::kSecurityDebugMessage))) {
      std::string_view rest = *message;
      while (true) {
        size_t end = rest.find('\n');
        logWarning(kSecurityDebugCode, rest.substr(0, end));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
      }
    }
  } else {
    logDebug(kUnsupportedActionCode, "Unsupported action from server: " + action);
  }
}

void PersistentConnection::onDataPush(RealtimeConnection* connection, DataPush push) {
  if (!isCurrent(connection)) return;
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kServerMessageCode, "handleServerMessage: " + std::string(wire::kPushData) + ", " +
                                     json::text(push.body()));
  }
  deliverPush([&](PersistentConnectionDelegate& delegate) {
    delegate.onDataOverwrite(this, push.path, std::move(push.data), push.tag);
  });
}

void PersistentConnection::deliverPush(
    const std::function<void(PersistentConnectionDelegate&)>& deliver) {
  auto delegate = delegate_.lock();
  if (!delegate) return;
  try {
    deliver(*delegate);
  } catch (const std::exception& e) {
    // Data the client cannot store: this push is dropped, the connection goes on.
    logWarning(kMalformedPushCode, std::string("Dropped data push: ") + e.what());
  }
}

void PersistentConnection::onRangeMergePush(const boost::json::object& body) {
  auto path = json::asString(json::member(body, wire::kBodyPath));
  const boost::json::value* rangesValue = json::member(body, wire::kBodyData);
  const boost::json::array* ranges = rangesValue ? rangesValue->if_array() : nullptr;
  std::optional<int64_t> tag;
  auto malformed = [&body] {
    logDebug(kMalformedPushCode, "Dropping malformed range merge: " + json::text(body));
  };
  if (!path || !ranges || !readTag(body, tag)) return malformed();
  std::vector<RangeMerge> merges;
  for (const boost::json::value& range : *ranges) {
    if (!range.is_object()) return malformed();
    std::optional<Path> start, end;
    const boost::json::value* startValue = json::member(range, wire::kRangeStart);
    const boost::json::value* endValue = json::member(range, wire::kRangeEnd);
    if (startValue && !startValue->is_null()) {
      auto text = json::asString(startValue);
      if (!text) return malformed();
      start = Path(*text);
    }
    if (endValue && !endValue->is_null()) {
      auto text = json::asString(endValue);
      if (!text) return malformed();
      end = Path(*text);
    }
    const boost::json::value* updatesValue = json::member(range, wire::kRangeUpdates);
    NodePtr updates =
        updatesValue ? SnapshotUtilities::tryNodeFromJson(*updatesValue) : EmptyNode::emptyNode();
    if (!updates) return malformed();
    merges.emplace_back(std::move(start), std::move(end), std::move(updates));
  }
  auto delegate = delegate_.lock();
  if (!delegate) return;
  try {
    delegate->onRangeMerge(merges, std::string(*path), tag);
  } catch (const std::exception& e) {
    logWarning(kMalformedPushCode, std::string("Dropped range merge: ") + e.what());
  }
}

}  // namespace dz::database
