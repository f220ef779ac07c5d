#include "tests/support/beast_acceptor.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/write.hpp>
#include <exception>
#include <string_view>

#include "platform/log.h"

namespace dz::testing {

namespace asio = boost::asio;
using asio::ip::tcp;

BeastAcceptor::BeastAcceptor(Serve serve)
    : serve_(std::move(serve)),
      acceptor_(context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

BeastAcceptor::~BeastAcceptor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    // shutdown() wakes a thread blocked in accept() or read(), where close() would race it.
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    for (int fd : connectionFds_) ::shutdown(fd, SHUT_RDWR);
  }
  acceptThread_.join();
  for (auto& thread : connections_) thread.join();
}

BeastAcceptor::Serve BeastAcceptor::plainText(bool answers) {
  return [answers](tcp::socket& socket) {
    char buffer[4096];
    boost::system::error_code error;
    socket.read_some(asio::buffer(buffer), error);
    if (answers) {
      constexpr std::string_view kAnswer =
          "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      asio::write(socket, asio::buffer(kAnswer), error);
    }
    socket.shutdown(tcp::socket::shutdown_send, error);
    while (!error) socket.read_some(asio::buffer(buffer), error);
  };
}

size_t BeastAcceptor::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

void BeastAcceptor::acceptLoop() {
  while (true) {
    boost::system::error_code error;
    tcp::socket socket(context_);
    acceptor_.accept(socket, error);
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (error) continue;
    connectionFds_.push_back(socket.native_handle());
    connections_.emplace_back([this, socket = std::move(socket)]() mutable {
      try {
        serve_(socket);
      } catch (const std::exception& e) {
        // A client that goes away mid-script ends the script; tests judge by what they saw.
        platform::logLine(std::string("test server connection ended: ") + e.what());
      }
      // Forget the fd before closing it, so that shutting down never hits a reused number.
      std::lock_guard lock(mutex_);
      std::erase(connectionFds_, socket.native_handle());
      boost::system::error_code ignored;
      socket.close(ignored);
    });
  }
}

}  // namespace dz::testing
