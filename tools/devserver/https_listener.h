// HttpsListener: a small HTTP/1.1 server over TLS on Boost.Beast, for the development server's
// JSON endpoints. It accepts on 127.0.0.1, keeps connections alive between requests, and hands
// each request to the handler, which answers through the responder once (at once or later). An
// answer may be delayed or replaced by dropping the connection, for tests of slow and failing
// servers. Everything runs on the io_context's one thread.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace dz::devserver {

struct HttpRequest {
  std::string method;
  std::string target;  // path and query, as sent
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
};

struct HttpResponse {
  unsigned status = 200;
  std::string body = {};
  std::string contentType = "application/json; charset=UTF-8";
  std::chrono::milliseconds delay{0};  // waits this long before answering
  bool drop = false;                   // closes the connection instead of answering
};

// Opens, binds and listens `acceptor` on 127.0.0.1:`port` (0 picks one); the development
// server's listeners share it. Throws dz::Exception when the port cannot be bound.
void listenOnLoopback(boost::asio::ip::tcp::acceptor& acceptor, uint16_t port);

using HttpResponder = std::function<void(HttpResponse)>;
using HttpHandler = std::function<void(const HttpRequest&, HttpResponder)>;

class HttpsListener : public std::enable_shared_from_this<HttpsListener> {
 public:
  // Binds 127.0.0.1:`port` (0 picks one). Throws dz::Exception when the port cannot be bound.
  static std::shared_ptr<HttpsListener> create(boost::asio::io_context& io, uint16_t port,
                                               std::shared_ptr<boost::asio::ssl::context> tls,
                                               HttpHandler handler);
  ~HttpsListener();
  HttpsListener(const HttpsListener&) = delete;
  HttpsListener& operator=(const HttpsListener&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted so far; any thread.
  size_t acceptedConnections() const { return accepted_; }
  // Server's thread only.
  void start();
  // Stops accepting and closes every open connection. Server's thread only.
  void stop();

 private:
  struct Impl;
  explicit HttpsListener(std::unique_ptr<Impl> impl);
  void accept();

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::atomic<size_t> accepted_{0};
};

}  // namespace dz::devserver
