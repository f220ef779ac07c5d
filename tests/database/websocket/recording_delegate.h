// A WebSocket delegate that records what it hears, and helpers to open sockets against the
// in-process test servers and to wait for what a test expects.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "database/websocket/web_socket.h"
#include "platform/dispatch_queue.h"
#include "platform/exception.h"

namespace dz::websocket {

inline constexpr auto kWaitTimeout = std::chrono::seconds(20);

class RecordingDelegate : public WebSocketDelegate {
 public:
  void didReceiveMessage(WebSocket&, Message& message) override {
    record([&] { messages.push_back(message); },
           message.kind == Message::Kind::kText ? "text:" + message.data.substr(0, 40) : "binary");
  }
  void didOpen(WebSocket&) override {
    record([&] { opened = true; }, "open");
  }
  void didFail(WebSocket&, const ErrorPtr& e) override {
    record([&] { error = e; }, "fail");
  }
  void didClose(WebSocket&, int code, const std::string& reason, bool clean) override {
    record(
        [&] {
          closed = true;
          closeCode = code;
          closeReason = reason;
          wasClean = clean;
        },
        "close");
  }
  void didReceivePong(WebSocket&, const std::string& payload) override {
    record([&] { pongs.push_back(payload); }, "pong");
  }

  // Waits until `done` holds (checked under the recorder's lock).
  bool waitUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWaitTimeout, done);
  }
  // Whether `done` holds now (checked under the recorder's lock), for polling from a run loop.
  bool holds(const std::function<bool()>& done) {
    std::lock_guard lock(mutex_);
    return done();
  }
  bool waitForEnd() {
    return waitUntil([&] { return closed || error; });
  }
  std::vector<std::string> eventNames() {
    std::lock_guard lock(mutex_);
    return events;
  }

  // Read after waiting.
  bool opened = false;
  bool closed = false;
  ErrorPtr error;
  int closeCode = -1;
  std::string closeReason;
  bool wasClean = false;
  std::vector<Message> messages;
  std::vector<std::string> pongs;
  std::vector<std::string> events;

 private:
  void record(const std::function<void()>& update, std::string name) {
    {
      std::lock_guard lock(mutex_);
      update();
      events.push_back(std::move(name));
    }
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
};

struct OpenedSocket {
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<WebSocket> socket;
};

inline OpenedSocket openSocket(URLRequest request, Limits limits = {},
                               std::optional<std::string> userAgent = std::nullopt) {
  OpenedSocket result;
  result.delegate = std::make_shared<RecordingDelegate>();
  result.socket = WebSocket::create(std::move(request), std::nullopt,
                                    platform::DispatchQueue::create("test.websocket.delegate"),
                                    std::move(userAgent), std::move(limits));
  result.socket->setDelegate(result.delegate);
  result.socket->open();
  return result;
}

inline URLRequest requestFor(std::string url) {
  URLRequest request;
  request.url = std::move(url);
  return request;
}

inline URLRequest plainRequest(uint16_t port, const std::string& path = "/") {
  return requestFor("ws://127.0.0.1:" + std::to_string(port) + path);
}

}  // namespace dz::websocket
