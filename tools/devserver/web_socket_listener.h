// WebSocketListener: the server side of the database's WebSocket, plain or over TLS, on
// Boost.Beast. It accepts TCP connections on 127.0.0.1, runs the TLS and WebSocket handshakes, and
// hands each accepted peer to the factory given; text messages go to the peer's handler, and the
// handler hears once when the peer is gone. Everything runs on the io_context's one thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace dz::devserver {

// One accepted WebSocket. Calls are made on the server's thread.
class Peer {
 public:
  virtual ~Peer() = default;
  // Queues one text message; messages go out in order.
  virtual void send(std::string text) = 0;
  // Closes the TCP connection at once, without a WebSocket close frame.
  virtual void drop() = 0;
};

// What the client asked for in its upgrade request.
struct UpgradeRequest {
  std::string target;  // "/.ws?v=5&ns=..."
  std::string host;    // the Host header, with its port
};

class PeerHandler {
 public:
  virtual ~PeerHandler() = default;
  virtual void onText(std::string_view text) = 0;
  // The peer is gone (closed by either side or failed); called once, and nothing after it.
  virtual void onClosed() = 0;
};

// Makes the handler of a peer that completed its handshake. The handler must not own the peer.
using PeerHandlerFactory =
    std::function<std::shared_ptr<PeerHandler>(std::shared_ptr<Peer>, const UpgradeRequest&)>;

class WebSocketListener : public std::enable_shared_from_this<WebSocketListener> {
 public:
  // Binds 127.0.0.1:`port` (0 picks one). `tls` null serves plain WebSocket. Throws
  // dz::Exception when the port cannot be bound.
  static std::shared_ptr<WebSocketListener> create(boost::asio::io_context& io, uint16_t port,
                                                   std::shared_ptr<boost::asio::ssl::context> tls,
                                                   PeerHandlerFactory factory);
  ~WebSocketListener();
  WebSocketListener(const WebSocketListener&) = delete;
  WebSocketListener& operator=(const WebSocketListener&) = delete;

  uint16_t port() const { return port_; }
  // Starts accepting. Call on the server's thread.
  void start();
  // Stops accepting; accepted peers stay. Call on the server's thread.
  void stop();

 private:
  struct Impl;
  explicit WebSocketListener(std::unique_ptr<Impl> impl);
  void accept();

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace dz::devserver
