// WebSocketListener: the server side of the database's WebSocket, plain or over TLS, on
// Boost.Beast. It accepts TCP connections on 127.0.0.1 (on the listening io_context), and runs
// each peer on one of the peers' io_contexts (each run by one thread of its own), in turn: the
// TLS and WebSocket handshakes, reading and writing. Each accepted peer goes to the factory given;
// text messages go to the peer's handler, and the handler hears once when the peer is gone.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dz::devserver {

// One accepted WebSocket. Thread-safe: calls from any thread are carried to the peer's thread,
// in the order they were made.
class Peer {
 public:
  virtual ~Peer() = default;
  // Queues one text message; messages go out in order. A shared text may go to many peers.
  virtual void send(std::shared_ptr<const std::string> text) = 0;
  void send(std::string text) { send(std::make_shared<const std::string>(std::move(text))); }
  // Closes the TCP connection at once, without a WebSocket close frame.
  virtual void drop() = 0;
};

// What the client asked for in its upgrade request.
struct UpgradeRequest {
  std::string target;  // "/.ws?v=5&ns=..."
  std::string host;    // the Host header, with its port
};

// Called on the peer's thread.
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
// Answers a plain HTTP GET of `target` (not an upgrade): the JSON body of a 200, or none for a
// 404. Called on the peer's thread.
using PlainGetHandler = std::function<std::optional<std::string>(const std::string& target)>;

class WebSocketListener : public std::enable_shared_from_this<WebSocketListener> {
 public:
  // Binds 127.0.0.1:`port` (0 picks one) on `io`; peers run on `peerIos` (at least one, each run
  // by one thread). `tls` null serves plain WebSocket. Throws dz::Exception when the port cannot
  // be bound.
  static std::shared_ptr<WebSocketListener> create(boost::asio::io_context& io,
                                                   std::vector<boost::asio::io_context*> peerIos,
                                                   uint16_t port,
                                                   std::shared_ptr<boost::asio::ssl::context> tls,
                                                   PeerHandlerFactory factory);
  ~WebSocketListener();
  WebSocketListener(const WebSocketListener&) = delete;
  WebSocketListener& operator=(const WebSocketListener&) = delete;

  uint16_t port() const { return port_; }
  // Plain GET requests on the same port go to `handler` (without one they are refused). Call
  // before start().
  void setPlainGetHandler(PlainGetHandler handler);
  // Starts accepting. Call on the thread of `io`.
  void start();
  // Stops accepting and drops every peer. Call on the thread of `io`.
  void stop();

 private:
  struct Impl;
  explicit WebSocketListener(std::unique_ptr<Impl> impl);
  void accept();

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace dz::devserver
