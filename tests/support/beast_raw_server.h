// RawScriptedServer: a plain TCP peer on 127.0.0.1 (Boost.Asio) whose test script writes exact
// bytes: handshakes with wrong fields, frames no honest server sends, headers in pieces. Each
// connection runs the script on its own thread; the server stops itself when destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/beast_acceptor.h"

namespace dz::testing {

class RawScriptedServer {
 public:
  class Connection {
   public:
    explicit Connection(boost::asio::ip::tcp::socket& socket) : socket_(socket) {}
    // The client's upgrade request up to and including the blank line.
    std::string readRequest();
    void write(std::string_view bytes);
    // The next client frame, unmasked; false when the client has closed the connection.
    bool readFrame(uint8_t& firstByte, std::string& payload);
    // Reads until the client closes the connection; true when it did.
    bool waitForEnd();
    // Reads frames until the client's close frame, answers it with the same payload and waits
    // for the end; false when the connection ended first.
    bool answerClose();
    // Makes the close that ends the script a reset (RST) rather than an orderly close.
    void resetOnClose();

   private:
    bool fill(size_t count);
    boost::asio::ip::tcp::socket& socket_;
    std::string buffer_;
  };
  using Script = std::function<void(Connection&)>;

  explicit RawScriptedServer(Script script);
  uint16_t port() const { return acceptor_->port(); }

  // A correct "101 Switching Protocols" answer to `request`; `extraFields` end in "\r\n".
  static std::string upgradeResponse(const std::string& request,
                                     const std::string& extraFields = "");
  // The Sec-WebSocket-Key field of a request.
  static std::string secKey(const std::string& request);
  // A frame as a server would write it (unmasked unless asked), with any first byte.
  static std::string frame(uint8_t firstByte, std::string_view payload, bool masked = false);

 private:
  std::unique_ptr<BeastAcceptor> acceptor_;
};

}  // namespace dz::testing
