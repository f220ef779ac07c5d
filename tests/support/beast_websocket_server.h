// BeastWebSocketServer: a Boost.Beast WebSocket server in the test process, plain or TLS, on
// 127.0.0.1 at a port of its own. Each connection runs the test's script against a synchronous
// Beast stream on its own thread; the server stops itself when destroyed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tests/support/beast_acceptor.h"

namespace dz::testing {

struct TlsIdentity {
  std::string certificateChainPem;  // leaf first, then any further certificates
  std::string privateKeyPem;
};

class BeastWebSocketServer {
 public:
  // One accepted, upgraded connection as a script sees it. Calls throw when the client is gone.
  class Session {
   public:
    virtual ~Session() = default;
    // The next data message; false once the connection has closed (then closeCode() tells why).
    virtual bool read(std::string& message, bool& isText) = 0;
    virtual void write(std::string_view data, bool isText = true) = 0;
    // One frame of a fragmented message; `last` finishes the message.
    virtual void writeFragment(std::string_view data, bool last, bool isText = true) = 0;
    virtual void ping(std::string_view payload) = 0;
    // Bytes written straight onto the connection, framed by the caller: frames the stream would
    // not make, or many frames in one write.
    virtual void writeRaw(std::string_view bytes) = 0;
    // Starts the closing handshake; read() then returns false once the client has answered.
    virtual void close(int code, std::string_view reason) = 0;
    // The code of the client's close frame, 0 before one arrived.
    virtual int closeCode() const = 0;
    virtual std::string closeReason() const = 0;
    // Payloads of the pongs received so far.
    virtual std::vector<std::string> pongs() const = 0;
    // The client's upgrade request fields, e.g. "User-Agent".
    virtual std::string requestField(std::string_view name) const = 0;
  };
  using Script = std::function<void(Session&)>;

  explicit BeastWebSocketServer(Script script, std::optional<TlsIdentity> tls = std::nullopt);
  ~BeastWebSocketServer();

  uint16_t port() const { return acceptor_->port(); }
  size_t connectionCount() const { return acceptor_->connectionCount(); }

  // Echoes every message, text as text, until the client closes.
  static Script echo();

 private:
  struct TlsContext;
  std::unique_ptr<TlsContext> tls_;
  std::unique_ptr<BeastAcceptor> acceptor_;
};

}  // namespace dz::testing
