// BeastAcceptor: the listening half of the in-process test servers. Listens on 127.0.0.1 at a
// port the system picks, runs each accepted connection on its own thread, and on destruction
// stops listening, shuts every connection down and joins the threads.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dz::testing {

class BeastAcceptor {
 public:
  // Runs one connection; the socket is closed after it returns.
  using Serve = std::function<void(boost::asio::ip::tcp::socket&)>;

  explicit BeastAcceptor(Serve serve);
  ~BeastAcceptor();
  BeastAcceptor(const BeastAcceptor&) = delete;
  BeastAcceptor& operator=(const BeastAcceptor&) = delete;

  // A plain-text server as met by a client that speaks TLS to it: reads what the client sends
  // first, answers with an HTTP error as a plain HTTP server does (or, not `answers`, says
  // nothing) and ends its side, then waits for the client to go.
  static Serve plainText(bool answers);

  uint16_t port() const { return port_; }
  // Connections accepted so far.
  size_t connectionCount() const;

 private:
  void acceptLoop();

  Serve serve_;
  boost::asio::io_context context_;
  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::vector<int> connectionFds_;
  std::vector<std::thread> connections_;
  std::thread acceptThread_;
};

}  // namespace dz::testing
