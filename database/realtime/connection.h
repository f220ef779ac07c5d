// Connection: one realtime connection to the database server over a WebSocketConnection. Wraps
// requests in the data envelope, performs the handshake, obeys the server's shutdown and reset
// (host redirect) commands and reports ready, data, kill and disconnect to its delegate, at most
// one disconnect per connection. Runs on the database work queue. Owned by the
// PersistentConnection, which makes a new one for every connection attempt through a
// RealtimeConnectionFactory (realtime_connection.h).
#pragma once

#include <boost/json/object.hpp>
#include <memory>
#include <optional>
#include <string>

#include "database/realtime/realtime_connection.h"
#include "database/realtime/web_socket_connection.h"
#include "platform/dispatch_queue.h"

namespace dz::database {

class RepoInfo;

class Connection : public RealtimeConnection,
                   public WebSocketConnectionDelegate,
                   public std::enable_shared_from_this<Connection> {
 public:
  enum class State : int32_t { Opening = 0, Open = 1, Closed = 2 };

  using SessionFactory = std::function<std::shared_ptr<WebSocketConnection>(
      std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr, std::optional<std::string>)>;

  // An empty session factory makes real WebSocket sessions.
  static std::shared_ptr<Connection> create(std::shared_ptr<RepoInfo> repoInfo,
                                            platform::DispatchQueuePtr queue,
                                            std::optional<std::string> lastSessionId,
                                            SessionFactory sessionFactory = {});
  // Connections with sessions made by `dependencies`.
  static RealtimeConnectionFactory factory(WebSocketConnection::Dependencies dependencies = {});

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() override;

  void setDelegate(std::weak_ptr<ConnectionDelegate> delegate) { delegate_ = std::move(delegate); }
  State state() const { return state_; }

  void open() override;
  void close() override;
  void closeWithReason(ConnectionCloseReason reason);
  void sendRequest(Request request, bool sensitive) override;
  // Throws dz::Exception "InvalidConnectionState" unless open.
  void sendData(boost::json::object message, bool sensitive);

  // WebSocketConnectionDelegate
  void onMessage(WebSocketConnection* session, boost::json::value message) override;
  void onDataPush(WebSocketConnection* session, DataPush push) override;
  void onDisconnect(WebSocketConnection* session, bool wasEverConnected) override;

 private:
  Connection(std::shared_ptr<RepoInfo> repoInfo);
  void onDataMessage(const boost::json::value& data);
  void onControlMessage(const boost::json::value& control);
  void onHandshake(const boost::json::value& handshake);
  void onConnectionShutdown(const boost::json::value& reason);
  void onReset(const boost::json::value& host);

  State state_ = State::Opening;
  std::weak_ptr<ConnectionDelegate> delegate_;
  std::shared_ptr<WebSocketConnection> conn_;
  std::shared_ptr<RepoInfo> repoInfo_;
};

}  // namespace dz::database
