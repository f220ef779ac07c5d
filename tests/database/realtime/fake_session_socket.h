// A scripted socket under a WebSocketConnection: records what the session sends and lets a test
// play the server's side (open, frames, close, failure) on the work queue.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "database/realtime/session_socket.h"

namespace dz::database::testing {

class FakeSessionSocket : public SessionSocket {
 public:
  explicit FakeSessionSocket(SessionSocketRequest request) : request_(std::move(request)) {}

  void open() override { ++openCalls; }
  void send(std::string text) override { sent.push_back(std::move(text)); }
  void close() override { ++closeCalls; }

  // The server's side; call on the work queue.
  void serverOpens() {
    if (auto d = request_.delegate.lock()) d->webSocketDidOpen();
  }
  void serverSends(std::string text) {
    if (auto d = request_.delegate.lock()) d->webSocketDidReceiveMessage(text);
  }
  void serverCloses(int64_t code = 1000) {
    if (auto d = request_.delegate.lock()) d->webSocketDidClose(code, "bye", true);
  }
  void fails(std::string description = "connection refused") {
    if (auto d = request_.delegate.lock()) d->webSocketDidFail(std::move(description));
  }

  const SessionSocketRequest& request() const { return request_; }

  int openCalls = 0;
  int closeCalls = 0;
  std::vector<std::string> sent;

 private:
  SessionSocketRequest request_;
};

// A factory that keeps every socket it made, last one at the back.
struct FakeSocketFactory {
  std::shared_ptr<std::vector<std::shared_ptr<FakeSessionSocket>>> sockets =
      std::make_shared<std::vector<std::shared_ptr<FakeSessionSocket>>>();

  SessionSocketFactory factory() const {
    return [sockets = sockets](const SessionSocketRequest& request) {
      auto socket = std::make_shared<FakeSessionSocket>(request);
      sockets->push_back(socket);
      return socket;
    };
  }
  FakeSessionSocket& last() const { return *sockets->back(); }
  size_t count() const { return sockets->size(); }
};

}  // namespace dz::database::testing
