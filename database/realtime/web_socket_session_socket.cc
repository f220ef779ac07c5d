#include "database/realtime/session_socket.h"

namespace dz::database {
namespace {

// Stands in until the WebSocket client is wired in: every connection attempt fails at once.
class UnavailableSocket : public SessionSocket {
 public:
  explicit UnavailableSocket(SessionSocketRequest request) : request_(std::move(request)) {}
  void open() override {
    request_.delegateQueue->async([delegate = request_.delegate] {
      if (auto d = delegate.lock()) d->webSocketDidFail("WebSocket transport unavailable");
    });
  }
  void send(std::string) override {}
  void close() override {}

 private:
  SessionSocketRequest request_;
};

}  // namespace

SessionSocketFactory webSocketSessionSocketFactory() {
  return [](const SessionSocketRequest& request) {
    return std::make_shared<UnavailableSocket>(request);
  };
}

}  // namespace dz::database
