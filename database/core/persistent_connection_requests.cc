#include <algorithm>

#include "database/core/persistent_connection.h"
#include "database/core/persistent_connection_internal.h"
#include "database/realtime/request_encoder.h"
#include "database/utilities/client_version.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"
#include "platform/queue_check.h"

namespace dz::database {
namespace {

using namespace detail;

constexpr char kListenCalledCode[] = "I-RDB03401";
constexpr char kUnlisteningCode[] = "I-RDB03402";
constexpr char kAuthFailedDebugCode[] = "I-RDB03417";
constexpr char kAuthFailedWarningCode[] = "I-RDB03418";
constexpr char kOnDisconnectRequestCode[] = "I-RDB03421";
constexpr char kIgnoringPutReplyCode[] = "I-RDB03422";
constexpr char kUnlistenOnCode[] = "I-RDB03423";
constexpr char kPutSentCode[] = "I-RDB03424";
constexpr char kPutQueuedCode[] = "I-RDB03425";
constexpr char kListenForCode[] = "I-RDB03426";
constexpr char kListenResponseCode[] = "I-RDB03427";
constexpr char kIndexWarningCode[] = "I-RDB03428";
constexpr char kNoListenerCode[] = "I-RDB03439";
constexpr char kStatsFailedCode[] = "I-RDB03442";
constexpr char kNoStatsCode[] = "I-RDB03443";
constexpr char kSendingStatsCode[] = "I-RDB03444";
constexpr char kStatsSdkPrefix[] = "sdk.objc.";
constexpr char kStatsPersistenceEnabled[] = "persistence.ios.enabled";
constexpr char kTransactionDisconnectReason[] =
    "Client was disconnected while running a transaction";
// The server may or may not have registered an on-disconnect operation it had not answered when
// the connection ended; the caller decides whether to register it again.
constexpr char kOnDisconnectUnconfirmedReason[] =
    "The connection ended before the server confirmed the request";
constexpr char kDefaultAuthFailureData[] = "error";

// The path of a listen or unlisten, with the query's parameters and tag for a tagged query.
RequestBody queryBody(const QuerySpec& query, std::optional<QueryTag> tagId) {
  RequestBody body{.path = query.path().toString()};
  if (tagId) {
    body.query = Value(query.params().wireProtocolParams());
    body.tag = *tagId;
  }
  return body;
}

}  // namespace

void PersistentConnection::sendConnectStats() {
  std::vector<std::pair<std::string, int64_t>> stats;
  std::string version = sdkVersion();
  std::replace(version.begin(), version.end(), '.', '-');
  stats.emplace_back(std::string(kStatsSdkPrefix) + version, 1);
  if (config_->persistenceEnabled()) stats.emplace_back(kStatsPersistenceEnabled, 1);
  logDebug(kSendingStatsCode, "Sending first connection stats");
  if (stats.empty()) {
    logDebug(kNoStatsCode, "Not sending stats because stats are empty");
    return;
  }
  sendAction(wire::kActionStats, RequestBody{.counters = std::move(stats)}, false,
             [](const Reply& reply) {
               if (reply.status != wire::kStatusOk) {
                 logDebug(kStatsFailedCode, "Failed to send stats: " + reply.data.value_or(""));
               }
             });
}

void PersistentConnection::sendAuthAndRestoreStateAfterComplete(bool restoreStateAfterComplete) {
  check(connected(), "Must be connected to send auth");
  check(authToken_.has_value(), "Can't send auth if there is no credential");
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(wire::kActionAuth, RequestBody{.credential = *authToken_}, true,
             [weakSelf, restoreStateAfterComplete](const Reply& reply) {
               auto self = weakSelf.lock();
               if (!self) return;
               self->connectionState_ = State::Online;
               const std::string& status = reply.status;
               if (status == wire::kStatusOk) {
                 if (restoreStateAfterComplete) self->restoreState();
                 return;
               }
               std::string reason = reply.data.value_or(kDefaultAuthFailureData);
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

// Requests and replies

void PersistentConnection::sendAction(std::string_view action, RequestBody body, bool sensitive,
                                      ReplyCallback callback) {
  auto realtime = realtime_;
  if (!realtime) return;
  auto number = static_cast<int64_t>(requestNumber_.getAndIncrement());
  realtime->sendRequest(Request{number, std::string(action), std::move(body)}, sensitive);
  if (callback && realtime_ == realtime) requestCBHash_[number] = std::move(callback);
}

// Listens

void PersistentConnection::listen(const QuerySpec& query, std::optional<QueryTag> tagId,
                                  std::shared_ptr<const SyncTreeHash> hash,
                                  ListenCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
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
  RequestBody body = queryBody(query, listen->tagId);
  const auto& hash = listen->syncTreeHash;
  body.hash = hash ? hash->simpleHash() : std::string();
  if (hash && hash->includeCompoundHash()) body.compoundHash = hash->compoundHash();
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(wire::kActionListen, std::move(body), false, [weakSelf, listen](const Reply& reply) {
    if (auto self = weakSelf.lock()) self->onListenReply(listen, reply);
  });
  ++unackedListensCount_;
}

void PersistentConnection::onListenReply(const std::shared_ptr<OutstandingQuery>& listen,
                                         const Reply& reply) {
  logDebug(kListenResponseCode, "Listen response " + reply.text);
  warnOnListenWarnings(reply, listen->query);
  auto it = listens_.find(listen->query);
  // Only the very record this reply was for: a newer listen for the query is not completed.
  if (it != listens_.end() && it->second == listen) {
    ErrorPtr error = errorForStatus(reply.status);
    if (error) removeListen(listen->query);
    if (listen->onComplete) listen->onComplete(error);
  }
  if (unackedListensCount_ > 0) --unackedListensCount_;
  if (unackedListensCount_ == 0) ackPuts();
}

void PersistentConnection::warnOnListenWarnings(const Reply& reply, const QuerySpec& query) {
  if (!reply.noIndexWarning) return;
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
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  logDebug(kUnlisteningCode, "Unlistening for " + query.description());
  auto removed = removeListen(query);
  // Listens go out only once online (see listen()), so only then is there one to withdraw.
  if (removed.empty() || !canSendWrites()) return;
  logDebug(kUnlistenOnCode,
           "Unlisten on " + query.path().description() + " for " + query.params().description());
  sendAction(wire::kActionUnlisten, queryBody(query, tagId), false, nullptr);
}

std::vector<QuerySpec> PersistentConnection::dumpListens() const {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  std::vector<QuerySpec> queries;
  for (const auto& entry : listens_) queries.push_back(entry.first);
  return queries;
}

// Writes

void PersistentConnection::putData(NodePtr data, const std::string& pathString,
                                   std::optional<std::string> hash, WriteCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  putInternal(std::move(data), wire::kActionPut, pathString, std::move(hash),
              std::move(onComplete));
}

void PersistentConnection::mergeData(CompoundWrite data, const std::string& pathString,
                                     WriteCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  putInternal(std::move(data), wire::kActionMerge, pathString, std::nullopt, std::move(onComplete));
}

void PersistentConnection::putInternal(RequestData data, std::string_view action,
                                       const std::string& pathString,
                                       std::optional<std::string> hash, WriteCallback onComplete) {
  RequestBody body{.path = pathString, .data = std::move(data), .hash = std::move(hash)};
  auto put = std::make_shared<OutstandingPut>(OutstandingPut{
      false, Request{0, std::string(action), std::move(body)}, std::move(onComplete)});
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
      put->request.action, put->request.body, false, [weakSelf, putId, put](const Reply& reply) {
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
        WriteResult result = WriteResult::from(reply.status, reply.reason);
        if (self->unackedListensCount_ > 0) {
          self->putsToAck_.push_back({put->onCompleteBlock, std::move(result)});
        } else {
          put->onCompleteBlock(result);
        }
      });
}

void PersistentConnection::ackPuts() {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  auto held = std::move(putsToAck_);
  putsToAck_.clear();
  for (const auto& completion : held) completion.block(completion.result);
}

void PersistentConnection::purgeOutstandingWrites() {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  ackPuts();
  failOutstandingWrites(WriteResult::from(std::string(wire::kStatusWriteCanceled)));
}

void PersistentConnection::failOutstandingWrites(const WriteResult& result) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  auto puts = std::move(outstandingPuts_);
  outstandingPuts_.clear();
  // Sent on-disconnect operations too: their late replies then find nothing to complete.
  auto sent = std::move(sentOnDisconnects_);
  sentOnDisconnects_.clear();
  auto queued = std::move(onDisconnectQueue_);
  onDisconnectQueue_.clear();
  for (const auto& entry : puts) {
    if (entry.second->onCompleteBlock) entry.second->onCompleteBlock(result);
  }
  for (const auto& entry : sent) {
    if (entry.second.onComplete) entry.second.onComplete(result);
  }
  for (const auto& operation : queued) {
    if (operation.onComplete) operation.onComplete(result);
  }
}

void PersistentConnection::cancelSentTransactions() {
  std::vector<std::shared_ptr<OutstandingPut>> canceled;
  for (auto it = outstandingPuts_.begin(); it != outstandingPuts_.end();) {
    if (it->second->sent && it->second->request.body.hash) {
      canceled.push_back(std::move(it->second));
      it = outstandingPuts_.erase(it);
    } else {
      ++it;
    }
  }
  const auto result =
      WriteResult::from(std::string(wire::kStatusDisconnect), kTransactionDisconnectReason);
  for (const auto& put : canceled) {
    if (put->onCompleteBlock) put->onCompleteBlock(result);
  }
}

// On-disconnect operations

void PersistentConnection::onDisconnectPutData(NodePtr data, const Path& path,
                                               WriteCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  queueOrSendOnDisconnect(wire::kActionOnDisconnectPut, path, std::move(data),
                          std::move(onComplete));
}

void PersistentConnection::onDisconnectMergeData(CompoundWrite data, const Path& path,
                                                 WriteCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  queueOrSendOnDisconnect(wire::kActionOnDisconnectMerge, path, std::move(data),
                          std::move(onComplete));
}

void PersistentConnection::onDisconnectCancelPath(const Path& path, WriteCallback onComplete) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  queueOrSendOnDisconnect(wire::kActionOnDisconnectCancel, path, nullptr, std::move(onComplete));
}

void PersistentConnection::queueOrSendOnDisconnect(std::string_view action, const Path& path,
                                                   RequestData data, WriteCallback onComplete) {
  TupleOnDisconnect operation{path.description(), std::string(action), std::move(data),
                              std::move(onComplete)};
  if (canSendWrites()) {
    sendOnDisconnect(std::move(operation));
  } else {
    onDisconnectQueue_.push_back(std::move(operation));
  }
}

void PersistentConnection::sendOnDisconnect(TupleOnDisconnect operation) {
  RequestBody body{.path = operation.pathString, .data = operation.data};
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kOnDisconnectRequestCode,
             "onDisconnect " + operation.action + ": " + requestBodyText(body));
  }
  std::string action = operation.action;
  uint64_t id = ++onDisconnectCounter_;
  sentOnDisconnects_.emplace(id, std::move(operation));
  std::weak_ptr<PersistentConnection> weakSelf = weak_from_this();
  sendAction(action, std::move(body), false, [weakSelf, id](const Reply& reply) {
    auto self = weakSelf.lock();
    if (!self) return;
    auto it = self->sentOnDisconnects_.find(id);
    if (it == self->sentOnDisconnects_.end()) return;
    WriteCallback callback = std::move(it->second.onComplete);
    self->sentOnDisconnects_.erase(it);
    if (callback) callback(WriteResult::from(reply.status, reply.reason));
  });
}

void PersistentConnection::failUnansweredOnDisconnects() {
  // Sent but unanswered: the server may hold them already (and may have run one at this very
  // drop), so sending them again could run them twice.
  auto unanswered = std::move(sentOnDisconnects_);
  sentOnDisconnects_.clear();
  const auto result =
      WriteResult::from(std::string(wire::kStatusDisconnect), kOnDisconnectUnconfirmedReason);
  for (const auto& entry : unanswered) {
    if (entry.second.onComplete) entry.second.onComplete(result);
  }
}

}  // namespace dz::database
