#include "database/realtime/connection.h"

#include <boost/json/serialize.hpp>

#include "database/realtime/json_fields.h"
#include "database/realtime/message_decoder.h"
#include "database/realtime/request_encoder.h"
#include "database/utilities/logging.h"
#include "database/utilities/repo_info.h"
#include "database/utilities/wire_protocol.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kOpenCode[] = "I-RDB08201";
constexpr char kClosingCode[] = "I-RDB08202";
constexpr char kCloseAgainCode[] = "I-RDB08203";
constexpr char kSendingHiddenCode[] = "I-RDB08204";
constexpr char kSendingCode[] = "I-RDB08205";
constexpr char kFailedCode[] = "I-RDB08206";
constexpr char kLostCode[] = "I-RDB08207";
constexpr char kUnknownTypeCode[] = "I-RDB08208";
constexpr char kUnknownPacketCode[] = "I-RDB08209";
constexpr char kDataMessageCode[] = "I-RDB08210";
constexpr char kControlMessageCode[] = "I-RDB08211";
constexpr char kUnknownControlCode[] = "I-RDB08212";
constexpr char kShutdownCode[] = "I-RDB08213";
constexpr char kEstablishedCode[] = "I-RDB08214";
constexpr char kResetCode[] = "I-RDB08215";
// Not in the original set of lines: a handshake or reset the client cannot use.
constexpr char kBadControlCode[] = "I-RDB08216";
// The persistent connection's line for each push it is handed.
constexpr char kServerMessageCode[] = "I-RDB03429";

constexpr char kInvalidConnectionState[] = "InvalidConnectionState";
constexpr char kUnconnectedSendReason[] = "Tried to send data on an unconnected DConnection";

using json::member;
using json::text;

}  // namespace

std::shared_ptr<Connection> Connection::create(std::shared_ptr<RepoInfo> repoInfo,
                                               platform::DispatchQueuePtr queue,
                                               std::optional<std::string> lastSessionId,
                                               SessionFactory sessionFactory) {
  auto connection = std::shared_ptr<Connection>(new Connection(repoInfo));
  connection->conn_ = sessionFactory
                          ? sessionFactory(repoInfo, queue, std::move(lastSessionId))
                          : WebSocketConnection::create(repoInfo, queue, std::move(lastSessionId));
  if (connection->conn_) connection->conn_->setDelegate(connection);
  return connection;
}

RealtimeConnectionFactory Connection::factory(WebSocketConnection::Dependencies dependencies) {
  return [dependencies](std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue,
                        std::optional<std::string> lastSessionId,
                        std::weak_ptr<ConnectionDelegate> delegate) {
    auto connection =
        create(std::move(repoInfo), std::move(queue), std::move(lastSessionId),
               [dependencies](std::shared_ptr<RepoInfo> info, platform::DispatchQueuePtr q,
                              std::optional<std::string> sessionId) {
                 return WebSocketConnection::create(std::move(info), std::move(q),
                                                    std::move(sessionId), dependencies);
               });
    connection->setDelegate(std::move(delegate));
    return std::shared_ptr<RealtimeConnection>(connection);
  };
}

Connection::Connection(std::shared_ptr<RepoInfo> repoInfo) : repoInfo_(std::move(repoInfo)) {}

Connection::~Connection() {
  if (conn_) conn_->close();
}

void Connection::open() {
  logDebug(kOpenCode, "Calling open in DConnection");
  if (conn_) conn_->open();
}

void Connection::close() { closeWithReason(ConnectionCloseReason::Other); }

void Connection::closeWithReason(ConnectionCloseReason reason) {
  if (state_ == State::Closed) return;
  std::shared_ptr<Connection> keepAlive = shared_from_this();
  logDebug(kClosingCode, "Closing realtime connection.");
  state_ = State::Closed;
  if (conn_) {
    logDebug(kCloseAgainCode, "Calling close again.");
    auto session = std::move(conn_);
    conn_ = nullptr;
    session->close();
  }
  if (auto delegate = delegate_.lock()) delegate->onDisconnect(this, reason);
}

void Connection::sendRequest(Request request, bool sensitive) {
  boost::json::object envelope;
  envelope[wire::kEnvelopeType] = wire::kMessageTypeData;
  envelope[wire::kEnvelopeData] = encodeRequest(request);
  sendData(std::move(envelope), sensitive);
}

void Connection::sendData(boost::json::object message, bool sensitive) {
  if (state_ != State::Open) throw Exception(kInvalidConnectionState, kUnconnectedSendReason);
  if (sensitive) {
    logDebug(kSendingHiddenCode, "Sending data (contents hidden)");
  } else if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kSendingCode, "Sending: " + text(message));
  }
  if (conn_) conn_->send(message);
}

void Connection::onMessage(WebSocketConnection* session, boost::json::value message) {
  // Late frames of a session this connection no longer holds.
  if (state_ == State::Closed || session != conn_.get()) return;
  std::shared_ptr<Connection> keepAlive = shared_from_this();
  const boost::json::value* type = member(message, wire::kEnvelopeType);
  if (!type) {
    logDebug(kUnknownPacketCode, "Unrecognized raw server packet received: " + text(message));
    return;
  }
  const boost::json::value* data = member(message, wire::kEnvelopeData);
  static const boost::json::value kNull;
  if (!data) data = &kNull;
  if (json::isString(type, wire::kMessageTypeData)) {
    if (logLevelEnabled(kLogLevelDebug))
      logDebug(kDataMessageCode, "Got data message: " + text(*data));
    onDataMessage(*data);
  } else if (json::isString(type, wire::kMessageTypeControl)) {
    if (logLevelEnabled(kLogLevelDebug))
      logDebug(kControlMessageCode, "Got control message: " + text(*data));
    onControlMessage(*data);
  } else {
    logDebug(kUnknownTypeCode, "Unrecognized server packet type: " + text(*type));
  }
}

void Connection::onDataPush(WebSocketConnection* session, DataPush push) {
  if (state_ == State::Closed || session != conn_.get()) return;
  std::shared_ptr<Connection> keepAlive = shared_from_this();
  if (logLevelEnabled(kLogLevelDebug)) {
    logDebug(kDataMessageCode, "Got data message: " + text(dataPushDataMessage(push)));
    logDebug(kServerMessageCode, "handleServerMessage: " + std::string(wire::kPushData) + ", " +
                                     text(dataPushBody(push)));
  }
  if (auto delegate = delegate_.lock()) delegate->onDataMessage(this, std::move(push));
}

void Connection::onDataMessage(const boost::json::value& data) {
  const auto* object = data.if_object();
  if (!object) {
    logDebug(kUnknownPacketCode, "Unrecognized raw server packet received: " + text(data));
    return;
  }
  auto action = json::asString(member(*object, wire::kRequestAction));
  const boost::json::value* body = member(*object, wire::kRequestBody);
  bool isPush = action && body && !member(*object, wire::kRequestNumber) &&
                !member(*object, wire::kServerError);
  if (isPush && logLevelEnabled(kLogLevelDebug)) {
    logDebug(kServerMessageCode,
             "handleServerMessage: " + std::string(*action) + ", " + text(*body));
  }
  if (auto delegate = delegate_.lock()) delegate->onDataMessage(this, decodeServerMessage(*object));
}

void Connection::onControlMessage(const boost::json::value& control) {
  const boost::json::value* type = member(control, wire::kControlType);
  static const boost::json::value kNull;
  const boost::json::value* payload = member(control, wire::kControlData);
  if (!payload) payload = &kNull;
  if (json::isString(type, wire::kControlShutdown)) {
    onConnectionShutdown(*payload);
  } else if (json::isString(type, wire::kControlReset)) {
    onReset(*payload);
  } else if (json::isString(type, wire::kControlHandshake)) {
    onHandshake(*payload);
  } else {
    logDebug(kUnknownControlCode, "Unknown control message returned from server: " + text(control));
  }
}

void Connection::onHandshake(const boost::json::value& handshake) {
  const boost::json::value* ts = member(handshake, wire::kHandshakeTimestamp);
  const boost::json::value* host = member(handshake, wire::kHandshakeHost);
  const boost::json::value* session = member(handshake, wire::kHandshakeSessionId);
  bool usable = ts && ts->is_number() && host && host->is_string() &&
                isPlainHostAndPort(host->get_string()) && (!session || session->is_string());
  if (!usable) {
    // A connection whose server time and host are unknown is of no use: start over.
    logWarning(kBadControlCode, "Malformed handshake from server: " + text(handshake));
    close();
    return;
  }
  repoInfo_->setInternalHost(std::string(host->get_string()));
  if (state_ != State::Opening) return;
  if (conn_) conn_->start();
  logDebug(kEstablishedCode, "Realtime connection established");
  state_ = State::Open;
  std::string sessionId = session ? std::string(session->get_string()) : std::string();
  double timestamp = json::asDouble(ts).value_or(0);
  if (auto delegate = delegate_.lock()) delegate->onReady(this, timestamp, sessionId);
}

void Connection::onConnectionShutdown(const boost::json::value& reason) {
  logDebug(kShutdownCode, "Connection shutdown command received. Shutting down...");
  if (auto delegate = delegate_.lock()) delegate->onKill(this, json::stringOrText(reason));
  close();
}

void Connection::onReset(const boost::json::value& host) {
  if (!host.is_string() || !isPlainHostAndPort(host.get_string())) {
    logWarning(kBadControlCode, "Malformed reset from server: " + text(host));
    close();
    return;
  }
  std::string newHost(host.get_string());
  logDebug(kResetCode, "Got a reset; killing connection to: " + repoInfo_->internalHost() +
                           "; Updating internalHost to: " + newHost);
  repoInfo_->setInternalHost(newHost);
  closeWithReason(ConnectionCloseReason::ServerReset);
}

void Connection::onDisconnect(WebSocketConnection* session, bool wasEverConnected) {
  if (session != conn_.get()) return;
  std::shared_ptr<Connection> keepAlive = shared_from_this();
  conn_ = nullptr;
  if (!wasEverConnected && state_ == State::Opening) {
    logDebug(kFailedCode, "Realtime connection failed.");
    repoInfo_->clearInternalHostCache();
  } else if (state_ == State::Open) {
    logDebug(kLostCode, "Realtime connection lost.");
  }
  close();
}

}  // namespace dz::database
