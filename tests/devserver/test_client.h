// TestClient: an independent Boost.Beast WebSocket client (plain or TLS, verified against the
// server's CA) that speaks the database's JSON protocol to the development server, for tests.
// Synchronous: every wait has a time-out and fails the test instead of hanging. One thread.
#pragma once

#include <boost/json.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tools/devserver/dev_server.h"

namespace dz::devserver::testing {

inline constexpr auto kWait = std::chrono::seconds(10);

class TestClient {
 public:
  // Connects to the server as "<ns>.dz.test:<port>" (or `host` when given) and reads the first
  // message (the handshake, or whatever the server sends first). Throws on failure.
  static std::unique_ptr<TestClient> connect(const DevServer& server, const std::string& ns = "ns",
                                             const std::string& host = {});
  // The same for a server known by its port and CA file (empty for plain WebSocket).
  static std::unique_ptr<TestClient> connect(uint16_t port, const std::filesystem::path& caFile,
                                             const std::string& ns = "ns",
                                             const std::string& host = {});
  ~TestClient();

  // The first message the server sent.
  const boost::json::object& greeting() const { return greeting_; }

  // Raw frames.
  void sendFrame(const std::string& text);
  // The next frame; none after the time-out or when the connection ended.
  std::optional<std::string> receiveFrame(std::chrono::milliseconds timeout = kWait);

  // Whole messages, count-framed like the client when longer than one frame.
  void send(const boost::json::value& message);
  // The next complete message (joined from count frames); none on time-out or close.
  std::optional<boost::json::object> receive(std::chrono::milliseconds timeout = kWait);

  // Sends a request and returns its number.
  int64_t request(const std::string& action, boost::json::object body);
  // Reads until the reply to `number` arrives, keeping pushes for nextPush(); the reply's body.
  std::optional<boost::json::object> awaitReply(int64_t number,
                                                std::chrono::milliseconds timeout = kWait);
  // Convenience: request then awaitReply; the reply's status ("" on time-out).
  std::string call(const std::string& action, boost::json::object body);
  // The next data push {"a", "b"} (kept or read); none on time-out. Replies read meanwhile are
  // kept for awaitReply.
  std::optional<boost::json::object> nextPush(std::chrono::milliseconds timeout = kWait);
  // Every message but replies, in order (pushes, control messages, errors), as received.
  std::optional<boost::json::object> nextNonReply(std::chrono::milliseconds timeout = kWait);

  // Whether the server ends the connection within the time-out (reading and dropping messages).
  bool waitForClose(std::chrono::milliseconds timeout = kWait);
  // Closes the TCP connection without a close frame.
  void dropTcp();

  struct Impl;

 private:
  TestClient();
  std::unique_ptr<Impl> impl_;
  boost::json::object greeting_;
  int64_t nextRequest_ = 1;
  std::deque<boost::json::object> kept_;  // messages read while looking for something else
};

// A string value's text, or the JSON of anything else (for comparisons in tests).
inline std::string text(const boost::json::value& value) {
  return value.is_string() ? std::string(value.get_string()) : boost::json::serialize(value);
}

inline boost::json::value json(std::string_view text) { return boost::json::parse(text); }

// {"p": path} plus the extra fields.
boost::json::object body(const std::string& path, boost::json::object extra = {});

}  // namespace dz::devserver::testing
