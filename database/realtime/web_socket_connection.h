// WebSocketConnection: one WebSocket session to the database server. Sends each message as JSON
// text cut into frames (with a frame count in front of a long message), joins and parses incoming
// messages (no longer than the socket's message limit), sends a keep-alive after 45 idle seconds
// and gives up on a socket whose realtime handshake (start()) has not come within 30 seconds of
// open(). Runs on the database work queue: every method is called there and every
// delegate callback is made there. Owned by its Connection; one session per connection attempt,
// never reopened.
#pragma once

#include <boost/json/value.hpp>
#include <memory>
#include <optional>
#include <string>

#include "database/realtime/data_push.h"
#include "database/realtime/session_socket.h"
#include "database/websocket/frame_reader.h"
#include "platform/dispatch_queue.h"
#include "platform/scheduler.h"

namespace dz::database {

class RepoInfo;
class WebSocketConnection;

class WebSocketConnectionDelegate {
 public:
  virtual ~WebSocketConnectionDelegate() = default;
  // `message` is the parsed JSON object or array, or null when the text was neither.
  virtual void onMessage(WebSocketConnection* session, boost::json::value message) = 0;
  // A plain data push, its data already nodes. By default handed on as the JSON message.
  virtual void onDataPush(WebSocketConnection* session, DataPush push) {
    onMessage(session, dataPushMessage(push));
  }
  virtual void onDisconnect(WebSocketConnection* session, bool wasEverConnected) = 0;
};

struct WebSocketConnectionDependencies {
  std::shared_ptr<platform::Scheduler> scheduler;  // null: the system scheduler
  SessionSocketFactory socketFactory;              // empty: real WebSockets
  // Caps a frame and a message joined from counted frames alike.
  uint64_t maxMessageBytes = websocket::kDefaultMaxMessageBytes;
};

class WebSocketConnection : public SessionSocketDelegate,
                            public std::enable_shared_from_this<WebSocketConnection> {
 public:
  static constexpr std::chrono::seconds kKeepAliveInterval{45};
  static constexpr std::chrono::seconds kConnectTimeout{30};

  using Dependencies = WebSocketConnectionDependencies;

  static std::shared_ptr<WebSocketConnection> create(std::shared_ptr<RepoInfo> repoInfo,
                                                     platform::DispatchQueuePtr queue,
                                                     std::optional<std::string> lastSessionId,
                                                     Dependencies dependencies = {});
  WebSocketConnection(const WebSocketConnection&) = delete;
  WebSocketConnection& operator=(const WebSocketConnection&) = delete;
  ~WebSocketConnection() override;

  void setDelegate(std::weak_ptr<WebSocketConnectionDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  void open();
  // Closes the socket; the delegate hears nothing more.
  void close();
  // The realtime handshake arrived: the connect time-out is over.
  void start();
  void send(const boost::json::value& message);

  bool buffering() const { return frames_.has_value(); }
  const std::string& userAgent() const { return userAgent_; }
  uint64_t connectionId() const { return connectionId_; }

  // SessionSocketDelegate
  void webSocketDidOpen() override;
  void webSocketDidReceiveMessage(std::string& text) override;
  void webSocketDidFail(std::string errorDescription) override;
  void webSocketDidClose(int64_t code, std::string reason, bool wasClean) override;

 private:
  WebSocketConnection(platform::DispatchQueuePtr queue, Dependencies dependencies);
  void handleIncomingFrame(std::string& text);
  // False (and the session given up) when `text` would take the message past the limit.
  bool withinMessageLimit(std::string_view text);
  void appendFrame(std::string& text);
  // Hands a whole message to the delegate: `push` when the pieces were read already, else what
  // `text` holds (read as a data push first when `mayBePush`).
  void deliver(std::string_view text, std::optional<DataPush> push, bool mayBePush);
  void onClosed();
  void nop();
  void scheduleKeepAlive(platform::Duration delay);
  void resetKeepAlive();
  void stopTimers();
  std::string tag() const;
  void giveUp();

  // The frames of a counted message so far; none between messages.
  std::optional<std::vector<std::string>> frames_;
  uint64_t framesBytes_ = 0;
  // Reads a counted message that may be a data push as its pieces arrive, so that reading
  // overlaps the transfer; the joined text settles whatever it cannot read.
  std::unique_ptr<JsonTextReader> pieceReader_;
  bool everConnected_ = false;
  bool isClosed_ = false;
  platform::CancellablePtr keepAlive_;
  platform::TimePoint keepAliveFireTime_{};
  platform::CancellablePtr connectTimeout_;
  int32_t totalFrames_ = 0;
  std::weak_ptr<WebSocketConnectionDelegate> delegate_;
  std::shared_ptr<SessionSocket> webSocket_;
  uint64_t connectionId_ = 0;
  platform::DispatchQueuePtr dispatchQueue_;
  std::shared_ptr<platform::Scheduler> scheduler_;
  uint64_t maxMessageBytes_;
  std::string userAgent_;
};

// "Dezuvura/5/<build version>/<OS version>/<model>_<bundle id>", model and bundle id with every
// "/" and "_" replaced by "|".
std::string databaseUserAgent();

// The frames of one message: the pieces of at most kMaxFrameCharacters UTF-16 code units (never
// splitting a character), preceded by the count when there are two or more.
std::vector<std::string> framesForMessage(std::string_view text);

// The frame count a frame announces when it starts a message, or none when it is a message of one
// frame itself.
std::optional<int32_t> frameCountOf(std::string_view frame);

}  // namespace dz::database
