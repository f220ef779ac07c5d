#include "database/core/persistent_connection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

#include "database/core/persistent_connection_internal.h"
#include "database/realtime/connection.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"
#include "platform/application_notifications.h"
#include "platform/queue_check.h"
#include "platform/wall_clock.h"

namespace dz::database {
namespace {

using namespace detail;

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
constexpr char kRestoreStateCode[] = "I-RDB03433";
constexpr char kNoAuthCode[] = "I-RDB03434";
constexpr char kRestoringAuthCode[] = "I-RDB03435";
constexpr char kRestoringListenCode[] = "I-RDB03436";
constexpr char kRestoringPutCode[] = "I-RDB03437";
constexpr char kSkippedPutCode[] = "I-RDB03438";
constexpr char kTimestampCode[] = "I-RDB03441";

constexpr char kServerTimeOffsetKey[] = "serverTimeOffset";
// A connection that lived longer than this was healthy: the next attempt needs no backoff.
constexpr auto kSuccessfulConnectionEstablishedDelay = std::chrono::seconds(30);

const RetryHelper::Options kRetryOptions{
    .minRetryDelayAfterFailure = 1.0,
    .maxRetryDelay = 30.0,
    .retryExponent = static_cast<double>(1.3f),
    .jitterFactor = 0.7,
};

// A number as the server wrote it: milliseconds without a fraction read "1700000000000".
std::string numberText(double number) {
  if (std::trunc(number) == number && std::fabs(number) < 0x1p53) {
    return std::to_string(static_cast<int64_t>(number));
  }
  return Value(number).toJsonString();
}

std::string stateText(PersistentConnection::State state) {
  return std::to_string(static_cast<int32_t>(state));
}

}  // namespace

std::shared_ptr<PersistentConnection> PersistentConnection::create(
    std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue, DatabaseConfigPtr config,
    Dependencies dependencies) {
  check(config && config->authTokenProvider(), "Expected auth token provider");
  auto connection = std::shared_ptr<PersistentConnection>(new PersistentConnection(
      std::move(repoInfo), std::move(queue), std::move(config), std::move(dependencies)));
  // Interrupted before any trigger can reach it: the repository makes its connection on its own
  // thread, while network and foreground triggers already run on the work queue. Still off the
  // queue, with no socket or retry yet to stop, noting the reason is the whole interruption.
  connection->noteInterruptReason(kInterruptWaitingForOpen);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  retryHelper_->signalSuccess();
  if (connectionState_ == State::Offline) tryScheduleReconnect();
}

bool PersistentConnection::isCurrent(RealtimeConnection* connection) const {
  return connection && connection == realtime_.get();
}

bool PersistentConnection::connected() const {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  return connectionState_ == State::Authorizing || connectionState_ == State::Online;
}

// Connection control

void PersistentConnection::open() { resumeForReason(kInterruptWaitingForOpen); }

void PersistentConnection::noteInterruptReason(const std::string& reason) {
  logDebug(kInterruptedCode, "Connection interrupted for: " + reason);
  interruptReasons_.insert(reason);
}

void PersistentConnection::interruptForReason(const std::string& reason) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  noteInterruptReason(reason);
  if (realtime_) {
    closeRealtime();
  } else {
    retryHelper_->cancel();
    connectionState_ = State::Offline;
  }
  retryHelper_->signalSuccess();
}

void PersistentConnection::resumeForReason(const std::string& reason) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  logDebug(kResumedCode, "Connection no longer interrupted for: " + reason);
  interruptReasons_.erase(reason);
  if (interruptReasons_.empty() && connectionState_ == State::Offline) tryScheduleReconnect();
}

bool PersistentConnection::isInterruptedForReason(const std::string& reason) const {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  return interruptReasons_.contains(reason);
}

void PersistentConnection::refreshAuthToken(std::optional<std::string> token) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  if (!isCurrent(connection)) return;
  logWarning(kKilledCode,
             "Dezuvura Database connection was forcefully killed by the server.  Will not attempt "
             "reconnect. Reason: " +
                 reason);
  interruptForReason(kInterruptServerKill);
}

}  // namespace dz::database
