// RealtimeConnection: one realtime connection to the database server as the persistent
// connection uses it, and ConnectionDelegate: what such a connection reports, its messages
// already decoded. Both run on the database work queue. A RealtimeConnectionFactory makes one per
// connection attempt (the seam that lets tests script the server's side); connection.h has the
// real one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/realtime/request.h"
#include "database/realtime/server_message.h"
#include "platform/dispatch_queue.h"

namespace dz::database {

class RepoInfo;
class RealtimeConnection;

enum class ConnectionCloseReason : int32_t { ServerReset = 0, Other = 1 };

class ConnectionDelegate {
 public:
  virtual ~ConnectionDelegate() = default;
  // `timestamp` is the server's time in milliseconds since 1970.
  virtual void onReady(RealtimeConnection* connection, double timestamp,
                       const std::string& sessionId) = 0;
  // A reply, a push or the server's error, decoded; or what was refused, with the reason.
  virtual void onDataMessage(RealtimeConnection* connection, ServerMessage message) = 0;
  virtual void onDisconnect(RealtimeConnection* connection, ConnectionCloseReason reason) = 0;
  virtual void onKill(RealtimeConnection* connection, const std::string& reason) = 0;
};

// The connection as the persistent connection uses it.
class RealtimeConnection {
 public:
  virtual ~RealtimeConnection() = default;
  virtual void open() = 0;
  // Reports the disconnect (reason Other) before returning, unless already closed.
  virtual void close() = 0;
  // Sends a request in the data envelope; only after onReady.
  virtual void sendRequest(Request request, bool sensitive) = 0;
};

using RealtimeConnectionFactory = std::function<std::shared_ptr<RealtimeConnection>(
    std::shared_ptr<RepoInfo> repoInfo, platform::DispatchQueuePtr queue,
    std::optional<std::string> lastSessionId, std::weak_ptr<ConnectionDelegate> delegate)>;

}  // namespace dz::database
