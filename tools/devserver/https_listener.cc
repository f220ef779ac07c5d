#include "tools/devserver/https_listener.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <list>

#include "platform/exception.h"
#include "platform/text.h"

namespace dz::devserver {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr char kListenFailed[] = "DevServerListenFailed";
constexpr auto kIdleTimeout = std::chrono::seconds(30);
constexpr size_t kMaxBodyBytes = 1 << 20;

class HttpsSession : public std::enable_shared_from_this<HttpsSession> {
 public:
  HttpsSession(tcp::socket socket, asio::ssl::context& tls, std::shared_ptr<HttpHandler> handler)
      : stream_(std::move(socket), tls), timer_(stream_.get_executor()), handler_(handler) {}

  void run() {
    beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
    stream_.async_handshake(asio::ssl::stream_base::server,
                            [self = shared_from_this()](beast::error_code ec) {
                              if (ec) return self->close();
                              self->read();
                            });
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    beast::error_code ignored;
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

 private:
  void read() {
    parser_.emplace();
    parser_->body_limit(kMaxBodyBytes);
    beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->close();
                       self->dispatch(self->parser_->release());
                     });
  }

  void dispatch(http::request<http::string_body> message) {
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.body = std::move(message.body());
    for (const auto& field : message) {
      request.headers[platform::asciiLowercased(field.name_string())] = std::string(field.value());
    }
    keepAlive_ = message.keep_alive();
    beast::get_lowest_layer(stream_).expires_never();
    auto answered = std::make_shared<bool>(false);
    (*handler_)(request, [self = shared_from_this(), answered](HttpResponse response) {
      if (*answered) return;
      *answered = true;
      self->answer(std::move(response));
    });
  }

  void answer(HttpResponse response) {
    if (closed_) return;
    if (response.delay.count() > 0) {
      const auto delay = response.delay;
      response.delay = {};
      timer_.expires_after(delay);
      timer_.async_wait(
          [self = shared_from_this(), response = std::move(response)](beast::error_code ec) {
            if (!ec) self->answer(std::move(response));
          });
      return;
    }
    if (response.drop) return close();
    auto message = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(response.status), 11);
    message->set(http::field::content_type, response.contentType);
    message->body() = std::move(response.body);
    message->keep_alive(keepAlive_);
    message->prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(kIdleTimeout);
    http::async_write(stream_, *message,
                      [self = shared_from_this(), message](beast::error_code ec, size_t) {
                        if (ec || !self->keepAlive_) return self->close();
                        self->read();
                      });
  }

  beast::ssl_stream<beast::tcp_stream> stream_;
  asio::steady_timer timer_;
  std::shared_ptr<HttpHandler> handler_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool keepAlive_ = true;
  bool closed_ = false;
};

}  // namespace

void listenOnLoopback(tcp::acceptor& acceptor, uint16_t port) {
  tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
  beast::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw Exception(kListenFailed,
                    "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message());
  }
}

struct HttpsListener::Impl {
  Impl(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, HttpHandler handler)
      : io(io),
        acceptor(io),
        tls(std::move(tls)),
        handler(std::make_shared<HttpHandler>(std::move(handler))) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  std::shared_ptr<asio::ssl::context> tls;
  std::shared_ptr<HttpHandler> handler;
  std::list<std::weak_ptr<HttpsSession>> sessions;
};

std::shared_ptr<HttpsListener> HttpsListener::create(asio::io_context& io, uint16_t port,
                                                     std::shared_ptr<asio::ssl::context> tls,
                                                     HttpHandler handler) {
  auto impl = std::make_unique<Impl>(io, std::move(tls), std::move(handler));
  listenOnLoopback(impl->acceptor, port);
  auto listener = std::shared_ptr<HttpsListener>(new HttpsListener(std::move(impl)));
  listener->port_ = listener->impl_->acceptor.local_endpoint().port();
  return listener;
}

HttpsListener::HttpsListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpsListener::~HttpsListener() = default;

void HttpsListener::start() { accept(); }

void HttpsListener::stop() {
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  for (auto& weak : impl_->sessions) {
    if (auto session = weak.lock()) session->close();
  }
  impl_->sessions.clear();
}

void HttpsListener::accept() {
  impl_->acceptor.async_accept(
      impl_->io, [weak = weak_from_this()](beast::error_code ec, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || !self->impl_->acceptor.is_open()) return;
        if (!ec) {
          ++self->accepted_;
          beast::error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          auto session = std::make_shared<HttpsSession>(std::move(socket), *self->impl_->tls,
                                                        self->impl_->handler);
          auto& sessions = self->impl_->sessions;
          sessions.remove_if([](const std::weak_ptr<HttpsSession>& s) { return s.expired(); });
          sessions.push_back(session);
          session->run();
        }
        self->accept();
      });
}

}  // namespace dz::devserver
