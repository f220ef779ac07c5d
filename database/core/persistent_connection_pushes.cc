#include "database/core/persistent_connection.h"
#include "database/core/persistent_connection_internal.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"

namespace dz::database {
namespace {

using namespace detail;

constexpr char kAuthRevokedDebugCode[] = "I-RDB03419";
constexpr char kAuthRevokedWarningCode[] = "I-RDB03420";
constexpr char kServerMessageCode[] = "I-RDB03429";
constexpr char kMalformedPushCode[] = "I-RDB03430";
constexpr char kSecurityDebugCode[] = "I-RDB03431";
constexpr char kUnsupportedActionCode[] = "I-RDB03432";
constexpr char kRevokingListensCode[] = "I-RDB03440";
// Lines of this implementation's own: replies and pushes it cannot use.
constexpr char kServerErrorCode[] = "I-RDB03445";
constexpr char kBadReplyCode[] = "I-RDB03446";
constexpr char kServerErrorName[] = "DezuvuraDatabaseServerError";

// The tag of a push: none when absent; false when present but not an integer.
bool readTag(const boost::json::object& body, std::optional<int64_t>& tag) {
  const boost::json::value* value = json::member(body, wire::kBodyTag);
  if (!value || value->is_null()) return true;
  tag = json::asInt64(value);
  return tag.has_value();
}

}  // namespace

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
