#include "tests/support/beast_websocket_server.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <mutex>
#include <vector>

namespace dz::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;

struct BeastWebSocketServer::TlsContext {
  asio::ssl::context context{asio::ssl::context::tls_server};
};

namespace {

template <typename Stream>
class BeastSession : public BeastWebSocketServer::Session {
 public:
  template <typename... Args>
  explicit BeastSession(Args&&... args) : ws_(std::forward<Args>(args)...) {}

  // Reads the upgrade request itself so that scripts can look at its fields.
  void accept() {
    beast::flat_buffer buffer;
    http::read(ws_.next_layer(), buffer, request_);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
      if (kind == websocket::frame_type::pong) {
        std::lock_guard lock(mutex_);
        pongs_.emplace_back(payload);
      }
    });
    ws_.accept(request_);
  }

  bool read(std::string& message, bool& isText) override {
    beast::flat_buffer buffer;
    beast::error_code error;
    ws_.read(buffer, error);
    if (error) return false;
    message = beast::buffers_to_string(buffer.data());
    isText = ws_.got_text();
    return true;
  }

  void write(std::string_view data, bool isText) override {
    ws_.text(isText);
    ws_.write(asio::buffer(data.data(), data.size()));
  }

  void writeFragment(std::string_view data, bool last, bool isText) override {
    ws_.text(isText);
    ws_.write_some(last, asio::buffer(data.data(), data.size()));
  }

  void writeRaw(std::string_view bytes) override {
    asio::write(ws_.next_layer(), asio::buffer(bytes.data(), bytes.size()));
  }

  void ping(std::string_view payload) override {
    ws_.ping(websocket::ping_data(payload.data(), payload.size()));
  }

  void close(int code, std::string_view reason) override {
    websocket::close_reason closeReason;
    closeReason.code = static_cast<uint16_t>(code);
    closeReason.reason.assign(reason.data(), std::min(reason.size(), size_t{123}));
    ws_.close(closeReason);
  }

  int closeCode() const override { return ws_.reason().code; }
  std::string closeReason() const override {
    return std::string(ws_.reason().reason.data(), ws_.reason().reason.size());
  }

  std::vector<std::string> pongs() const override {
    std::lock_guard lock(mutex_);
    return pongs_;
  }

  std::string requestField(std::string_view name) const override {
    return std::string(request_[beast::string_view(name.data(), name.size())]);
  }

  websocket::stream<Stream>& ws() { return ws_; }

 private:
  websocket::stream<Stream> ws_;
  http::request<http::string_body> request_;
  mutable std::mutex mutex_;
  std::vector<std::string> pongs_;
};

}  // namespace

BeastWebSocketServer::BeastWebSocketServer(Script script, std::optional<TlsIdentity> tls) {
  if (tls) {
    tls_ = std::make_unique<TlsContext>();
    tls_->context.use_certificate_chain(
        asio::buffer(tls->certificateChainPem.data(), tls->certificateChainPem.size()));
    tls_->context.use_private_key(
        asio::buffer(tls->privateKeyPem.data(), tls->privateKeyPem.size()),
        asio::ssl::context::pem);
  }
  TlsContext* context = tls_.get();
  acceptor_ = std::make_unique<BeastAcceptor>([script, context](tcp::socket& socket) {
    if (context) {
      BeastSession<asio::ssl::stream<tcp::socket&>> session(socket, context->context);
      session.ws().next_layer().handshake(asio::ssl::stream_base::server);
      session.accept();
      script(session);
    } else {
      BeastSession<tcp::socket&> session(socket);
      session.accept();
      script(session);
    }
  });
}

BeastWebSocketServer::~BeastWebSocketServer() { acceptor_.reset(); }

BeastWebSocketServer::Script BeastWebSocketServer::echo() {
  return [](Session& session) {
    std::string message;
    bool isText = true;
    while (session.read(message, isText)) session.write(message, isText);
  };
}

}  // namespace dz::testing
