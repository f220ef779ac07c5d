#include <exception>

#include "database/realtime/session_socket.h"
#include "database/utilities/logging.h"
#include "database/websocket/web_socket.h"

namespace dz::database {
namespace {

constexpr char kSocketErrorCode[] = "I-RDB08315";

// A SessionSocket over dz::websocket::WebSocket. The WebSocket calls back on the session's queue
// (its delegate queue), and this passes the calls on to the session unchanged.
class WebSocketSessionSocket : public SessionSocket,
                               public websocket::WebSocketDelegate,
                               public std::enable_shared_from_this<WebSocketSessionSocket> {
 public:
  explicit WebSocketSessionSocket(const SessionSocketRequest& request)
      : delegate_(request.delegate), queue_(request.delegateQueue) {
    try {
      websocket::URLRequest urlRequest;
      urlRequest.url = request.url;
      websocket::Limits limits;
      if (request.maxMessageBytes) limits.maxMessageBytes = request.maxMessageBytes;
      socket_ = websocket::WebSocket::create(std::move(urlRequest), std::nullopt,
                                             request.delegateQueue, request.userAgent, limits);
    } catch (const std::exception& e) {
      logWarning(kSocketErrorCode, std::string("Cannot create WebSocket: ") + e.what());
    }
  }

  void attach() {
    if (socket_) socket_->setDelegate(weak_from_this());
  }

  void open() override {
    try {
      if (socket_) {
        socket_->open();
        return;
      }
    } catch (const std::exception& e) {
      logWarning(kSocketErrorCode, std::string("Cannot open WebSocket: ") + e.what());
    }
    // Never opened: the session hears of it as a failed start.
    queue_->async([delegate = delegate_] {
      if (auto d = delegate.lock()) d->webSocketDidFail("WebSocket could not be opened");
    });
  }

  void send(std::string text) override {
    if (!socket_) return;
    try {
      socket_->send(std::move(text));
    } catch (const std::exception& e) {
      // Sends while still connecting are refused by the socket; the session never makes them.
      logDebug(kSocketErrorCode, std::string("Dropped a send: ") + e.what());
    }
  }

  void close() override {
    if (socket_) socket_->close();
  }

  void didReceiveMessage(websocket::WebSocket&, websocket::Message& message) override {
    if (message.kind != websocket::Message::Kind::kText) return;
    if (auto d = delegate_.lock()) d->webSocketDidReceiveMessage(message.data);
  }
  void didOpen(websocket::WebSocket&) override {
    if (auto d = delegate_.lock()) d->webSocketDidOpen();
  }
  void didFail(websocket::WebSocket&, const ErrorPtr& error) override {
    if (auto d = delegate_.lock()) d->webSocketDidFail(error->localizedDescription());
  }
  void didClose(websocket::WebSocket&, int code, const std::string& reason,
                bool wasClean) override {
    if (auto d = delegate_.lock()) d->webSocketDidClose(code, reason, wasClean);
  }

 private:
  std::weak_ptr<SessionSocketDelegate> delegate_;
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<websocket::WebSocket> socket_;
};

}  // namespace

SessionSocketFactory webSocketSessionSocketFactory() {
  return [](const SessionSocketRequest& request) {
    auto socket = std::make_shared<WebSocketSessionSocket>(request);
    socket->attach();
    return socket;
  };
}

}  // namespace dz::database
