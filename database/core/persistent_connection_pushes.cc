#include "database/core/persistent_connection.h"
#include "database/core/persistent_connection_internal.h"
#include "database/utilities/logging.h"
#include "database/utilities/wire_protocol.h"
#include "platform/queue_check.h"

namespace dz::database {
namespace {

using namespace detail;

constexpr char kAuthRevokedDebugCode[] = "I-RDB03419";
constexpr char kAuthRevokedWarningCode[] = "I-RDB03420";
constexpr char kMalformedPushCode[] = "I-RDB03430";
constexpr char kSecurityDebugCode[] = "I-RDB03431";
constexpr char kUnsupportedActionCode[] = "I-RDB03432";
constexpr char kRevokingListensCode[] = "I-RDB03440";
// Lines of this implementation's own: replies and pushes it cannot use.
constexpr char kServerErrorCode[] = "I-RDB03445";
constexpr char kBadReplyCode[] = "I-RDB03446";
constexpr char kServerErrorName[] = "DezuvuraDatabaseServerError";

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

void PersistentConnection::onDataMessage(RealtimeConnection* connection, ServerMessage message) {
  DZ_ASSERT_ON_QUEUE(dispatchQueue_);
  if (!isCurrent(connection)) return;
  std::visit([this](auto& decoded) { onServerMessage(std::move(decoded)); }, message);
}

void PersistentConnection::onServerMessage(RefusedMessage refused) {
  switch (refused.kind) {
    case RefusedMessage::Kind::Reply:
      return logDebug(kBadReplyCode, refused.reason);
    case RefusedMessage::Kind::Push:
      return logDebug(kMalformedPushCode, refused.reason);
    case RefusedMessage::Kind::UnstorableData:
      return logWarning(kMalformedPushCode, refused.reason);
  }
}

void PersistentConnection::onServerMessage(Reply reply) {
  auto it = requestCBHash_.find(reply.requestNumber);
  if (it == requestCBHash_.end()) return;
  ReplyCallback callback = std::move(it->second);
  requestCBHash_.erase(it);
  callback(reply);
}

void PersistentConnection::onServerMessage(ServerError error) {
  // The server gave up on this connection: start over (with backoff) rather than end.
  logError(kServerErrorCode, std::string(kServerErrorName) + ": " + error.error);
  closeRealtime();
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
    if (listen->onComplete) listen->onComplete(errorForStatus(wire::kStatusPermissionDenied));
  }
}

// Pushes

void PersistentConnection::onServerMessage(DataPush push) {
  deliverPush([&](PersistentConnectionDelegate& delegate) {
    delegate.onDataUpdate(this, push.path, std::move(push.data), false, push.tag);
  });
}

void PersistentConnection::onServerMessage(MergePush push) {
  if (push.merge.isEmpty()) return;
  deliverPush([&](PersistentConnectionDelegate& delegate) {
    delegate.onDataUpdate(this, push.path, std::move(push.merge), true, push.tag);
  });
}

void PersistentConnection::onServerMessage(RangeMergePush push) {
  deliverPush([&](PersistentConnectionDelegate& delegate) {
    delegate.onRangeMerge(push.ranges, push.path, push.tag);
  });
}

void PersistentConnection::onServerMessage(AuthRevokedPush push) {
  onAuthRevoked(push.status, push.reason);
}

void PersistentConnection::onServerMessage(ListenRevokedPush push) {
  onListenRevoked(Path(push.path));
}

void PersistentConnection::onServerMessage(SecurityDebugPush push) {
  std::string_view rest = push.message;
  while (true) {
    size_t end = rest.find('\n');
    logWarning(kSecurityDebugCode, rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

void PersistentConnection::onServerMessage(UnknownPush push) {
  logDebug(kUnsupportedActionCode, "Unsupported action from server: " + push.action);
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

}  // namespace dz::database
