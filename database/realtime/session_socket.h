// SessionSocket: the WebSocket under a WebSocketConnection, as the session sees it. The real one
// wraps dz::websocket::WebSocket; tests put a scripted socket in its place through the factory.
// Callbacks reach the delegate on the queue given to the factory, in the order they happened.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch_queue.h"

namespace dz::database {

class SessionSocketDelegate {
 public:
  virtual ~SessionSocketDelegate() = default;
  virtual void webSocketDidOpen() = 0;
  // The receiver may keep `text` by moving it out; what it leaves goes back to the socket's
  // buffers.
  virtual void webSocketDidReceiveMessage(std::string& text) = 0;
  virtual void webSocketDidFail(std::string errorDescription) = 0;
  virtual void webSocketDidClose(int64_t code, std::string reason, bool wasClean) = 0;
};

class SessionSocket {
 public:
  virtual ~SessionSocket() = default;
  virtual void open() = 0;
  // One text frame. Sends before the socket opened or after it closed are dropped.
  virtual void send(std::string text) = 0;
  // Starts the closing handshake; the delegate hears how it ended.
  virtual void close() = 0;
};

struct SessionSocketRequest {
  std::string url;
  std::string userAgent;
  platform::DispatchQueuePtr delegateQueue;
  std::weak_ptr<SessionSocketDelegate> delegate;
  uint64_t maxMessageBytes = 0;  // 0: the socket's default
};

using SessionSocketFactory =
    std::function<std::shared_ptr<SessionSocket>(const SessionSocketRequest& request)>;

// Sockets over dz::websocket::WebSocket.
SessionSocketFactory webSocketSessionSocketFactory();

}  // namespace dz::database
