#include "tools/devserver/web_socket_listener.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>

#include "tools/devserver/https_listener.h"

namespace dz::devserver {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// Client frames hold at most 16,384 characters; this leaves room and bounds a misbehaving peer.
constexpr size_t kMaxMessageBytes = 1 << 20;

template <class Stream>
class Session : public Peer, public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  explicit Session(PeerHandlerFactory factory, Args&&... args)
      : ws_(std::forward<Args>(args)...), factory_(std::move(factory)) {}

  void run() {
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTimeout);
    if constexpr (kTls) {
      ws_.next_layer().async_handshake(asio::ssl::stream_base::server,
                                       [self = this->shared_from_this()](beast::error_code ec) {
                                         if (ec) return self->drop();
                                         self->readUpgrade();
                                       });
    } else {
      readUpgrade();
    }
  }

  void send(std::string text) override {
    if (finished_) return;
    outbox_.push_back(std::move(text));
    if (!writing_) write();
  }

  void drop() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  void readUpgrade() {
    http::async_read(ws_.next_layer(), buffer_, request_,
                     [self = this->shared_from_this()](beast::error_code ec, size_t) {
                       if (ec || !websocket::is_upgrade(self->request_)) return self->drop();
                       self->acceptUpgrade();
                     });
  }

  void acceptUpgrade() {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(
        websocket::stream_base::timeout{kHandshakeTimeout, websocket::stream_base::none(), false});
    ws_.read_message_max(kMaxMessageBytes);
    ws_.async_accept(request_, [self = this->shared_from_this()](beast::error_code ec) {
      if (ec) return self->drop();
      self->opened();
    });
  }

  void opened() {
    UpgradeRequest upgrade{std::string(request_.target()),
                           std::string(request_[http::field::host])};
    request_ = {};
    buffer_.consume(buffer_.size());
    ws_.text(true);
    handler_ = factory_(this->shared_from_this(), upgrade);
    factory_ = nullptr;
    if (!handler_) return drop();
    read();
  }

  void read() {
    ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->finish();
      std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      if (self->ws_.got_text() && self->handler_) self->handler_->onText(text);
      self->read();
    });
  }

  void write() {
    writing_ = true;
    ws_.async_write(asio::buffer(outbox_.front()),
                    [self = this->shared_from_this()](beast::error_code ec, size_t) {
                      if (!self->outbox_.empty()) self->outbox_.pop_front();
                      if (ec || self->finished_ || self->outbox_.empty()) {
                        self->writing_ = false;
                        if (ec) self->drop();
                        return;
                      }
                      self->write();
                    });
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    drop();
    if (auto handler = std::move(handler_)) handler->onClosed();
  }

  websocket::stream<Stream> ws_;
  PeerHandlerFactory factory_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  std::shared_ptr<PeerHandler> handler_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool finished_ = false;
};

using PlainSession = Session<beast::tcp_stream>;
using TlsSession = Session<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace

struct WebSocketListener::Impl {
  Impl(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, PeerHandlerFactory factory)
      : io(io), acceptor(io), tls(std::move(tls)), factory(std::move(factory)) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  std::shared_ptr<asio::ssl::context> tls;
  PeerHandlerFactory factory;
};

std::shared_ptr<WebSocketListener> WebSocketListener::create(
    asio::io_context& io, uint16_t port, std::shared_ptr<asio::ssl::context> tls,
    PeerHandlerFactory factory) {
  auto impl = std::make_unique<Impl>(io, std::move(tls), std::move(factory));
  listenOnLoopback(impl->acceptor, port);
  auto listener = std::shared_ptr<WebSocketListener>(new WebSocketListener(std::move(impl)));
  listener->port_ = listener->impl_->acceptor.local_endpoint().port();
  return listener;
}

WebSocketListener::WebSocketListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebSocketListener::~WebSocketListener() = default;

void WebSocketListener::start() { accept(); }

void WebSocketListener::stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

void WebSocketListener::accept() {
  impl_->acceptor.async_accept(
      impl_->io, [weak = weak_from_this()](beast::error_code ec, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || !self->impl_->acceptor.is_open()) return;
        if (!ec) {
          beast::error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          if (self->impl_->tls) {
            std::make_shared<TlsSession>(self->impl_->factory, std::move(socket), *self->impl_->tls)
                ->run();
          } else {
            std::make_shared<PlainSession>(self->impl_->factory, std::move(socket))->run();
          }
        }
        self->accept();
      });
}

}  // namespace dz::devserver
