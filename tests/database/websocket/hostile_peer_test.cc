// Servers that break the protocol, written byte by byte.
#include <gtest/gtest.h>

#include "database/websocket/errors.h"
#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_raw_server.h"

namespace dz::websocket {
namespace {

using testing::RawScriptedServer;

struct ClientClose {
  bool seen = false;
  int code = 0;
  std::string reason;
};

// Answers the handshake, writes `bytes`, then records the client's close frame, if any.
RawScriptedServer::Script afterUpgradeWrite(std::string bytes, ClientClose& close) {
  return [bytes, &close](RawScriptedServer::Connection& c) {
    const std::string request = c.readRequest();
    c.write(RawScriptedServer::upgradeResponse(request) + bytes);
    uint8_t first = 0;
    std::string payload;
    while (c.readFrame(first, payload)) {
      if ((first & 0x0F) == 0x8) {
        close.seen = true;
        close.code = payload.size() >= 2 ? (static_cast<uint8_t>(payload[0]) << 8) |
                                               static_cast<uint8_t>(payload[1])
                                         : 0;
        close.reason = payload.size() > 2 ? payload.substr(2) : "";
      }
    }
  };
}

struct Outcome {
  std::shared_ptr<RecordingDelegate> delegate;
  ClientClose clientClose;
};

Outcome runAgainst(const std::string& bytes) {
  Outcome outcome;
  {
    RawScriptedServer server(afterUpgradeWrite(bytes, outcome.clientClose));
    auto opened = openSocket(plainRequest(server.port()));
    outcome.delegate = opened.delegate;
    EXPECT_TRUE(outcome.delegate->waitForEnd());
  }  // the server's threads are joined here
  return outcome;
}

std::string frame(uint8_t first, std::string_view payload, bool masked = false) {
  return RawScriptedServer::frame(first, payload, masked);
}

TEST(HostilePeerTest, EveryProtocolErrorClosesWithItsCodeAndNothingAfterItIsDelivered) {
  struct Case {
    std::string bytes;
    int code;
    std::string reason;
  };
  const std::string after = frame(0x81, "must not arrive");
  const std::vector<Case> cases = {
      {frame(0x81, "masked", true), 1002, "Client must receive unmasked data"},
      {frame(0xC1, "rsv"), 1002, "Server used RSV bits"},
      {frame(0xA1, "rsv"), 1002, "Server used RSV bits"},
      {frame(0x83, "x"), 1002, "Unknown opcode 3"},
      {frame(0x09, "p"), 1002, "Fragmented control frames not allowed"},
      {frame(0x89, std::string(126, 'p')), 1002,
       "Control frames cannot have payloads larger than 126 bytes"},
      {frame(0x80, "x"), 1002, "cannot continue a message"},
      {frame(0x01, "a") + frame(0x82, "b"), 1002,
       "all data frames after the initial data frame must have opcode 0"},
      {std::string("\x82\x7F\x80\x00\x00\x00\x00\x00\x00\x00", 10), 1002,
       "Payload length must not have its most significant bit set"},
      {std::string("\x82\x7F\x7F\x00\x00\x00\x00\x00\x00\x00", 10), 1009, "Message too big"},
      {frame(0x81, "bad \xC3\x28 text"), 1007, "Text frames must be valid UTF-8"},
      {frame(0x88, "x"), 1002, "Payload for close must be larger than 2 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Outcome outcome = runAgainst(frame(0x81, "before") + c.bytes + after);
    auto& delegate = *outcome.delegate;
    EXPECT_FALSE(delegate.error);
    ASSERT_TRUE(delegate.closed);
    EXPECT_EQ(delegate.closeCode, c.code);
    EXPECT_EQ(delegate.closeReason, c.reason);
    EXPECT_FALSE(delegate.wasClean);
    ASSERT_EQ(delegate.messages.size(), 1u);
    EXPECT_EQ(delegate.messages[0].data, "before");
    EXPECT_TRUE(outcome.clientClose.seen);
    EXPECT_EQ(outcome.clientClose.code, c.code);
    EXPECT_EQ(outcome.clientClose.reason, c.reason);
  }
}

TEST(HostilePeerTest, ServerCloseCodesOutsideTheAllowedSetAreProtocolErrors) {
  for (int code : {999, 1004, 1005, 1006, 1012, 2999, 5000}) {
    SCOPED_TRACE(code);
    const std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    Outcome outcome = runAgainst(frame(0x88, payload));
    EXPECT_EQ(outcome.delegate->closeCode, 1002);
    EXPECT_EQ(outcome.delegate->closeReason, "Cannot have close code of " + std::to_string(code));
    EXPECT_EQ(outcome.clientClose.code, 1002);
  }
}

TEST(HostilePeerTest, EmptyServerCloseRecords1005AndIsAnsweredWith1000) {
  Outcome outcome = runAgainst(frame(0x88, ""));
  EXPECT_EQ(outcome.delegate->closeCode, 1005);
  EXPECT_TRUE(outcome.delegate->wasClean);
  EXPECT_EQ(outcome.clientClose.code, 1000);
}

TEST(HostilePeerTest, HeaderSplitOverManyReadsWithFrameBytesRightAfterIt) {
  RawScriptedServer server([](RawScriptedServer::Connection& c) {
    const std::string request = c.readRequest();
    const std::string bytes = RawScriptedServer::upgradeResponse(request) +
                              RawScriptedServer::frame(0x81, "first") +
                              RawScriptedServer::frame(0x81, "second");
    // One byte per write; TCP_NODELAY is not needed for the client to see many short reads.
    for (char byte : bytes) c.write(std::string_view(&byte, 1));
    c.answerClose();
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->messages.size() == 2; }));
  EXPECT_EQ(delegate->messages[0].data, "first");
  EXPECT_EQ(delegate->messages[1].data, "second");
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
}

Error handshakeFailure(const std::function<std::string(const std::string&)>& answer) {
  RawScriptedServer server([answer](RawScriptedServer::Connection& c) {
    c.write(answer(c.readRequest()));
    c.waitForEnd();
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  EXPECT_TRUE(delegate->waitForEnd());
  EXPECT_FALSE(delegate->opened);
  EXPECT_FALSE(delegate->closed);
  EXPECT_EQ(socket->readyState(), ReadyState::kClosed);
  return delegate->error ? *delegate->error : Error("none", 0);
}

TEST(HostilePeerTest, HandshakeAnswersThatAreNotAnUpgradeFail) {
  Error error = handshakeFailure([](const std::string& request) {
    std::string response = RawScriptedServer::upgradeResponse(request);
    return response.replace(response.find("Sec-WebSocket-Accept: ") + 22, 4, "AAAA");
  });
  EXPECT_EQ(error.domain(), kWebSocketErrorDomain);
  EXPECT_EQ(error.code(), kInvalidHandshakeCode);
  EXPECT_EQ(error.localizedDescription(), "Invalid Sec-WebSocket-Accept response");

  error = handshakeFailure([](const std::string& request) {
    std::string response = RawScriptedServer::upgradeResponse(request);
    return response.replace(9, 3, "200");
  });
  EXPECT_EQ(error.domain(), kStreamErrorDomain);
  EXPECT_EQ(error.code(), kBadResponseCode);
  EXPECT_EQ(error.localizedDescription(), "received bad response code from server 200");

  error = handshakeFailure([](const std::string&) { return "HTTP/1.1 404 Not Found\r\n\r\n"; });
  EXPECT_EQ(error.localizedDescription(), "received bad response code from server 404");

  error = handshakeFailure([](const std::string& request) {
    std::string response = RawScriptedServer::upgradeResponse(request);
    return response.replace(response.find("Upgrade: websocket"), 18, "Upgrade: h2c");
  });
  EXPECT_EQ(error.code(), kInvalidHandshakeCode);
  EXPECT_EQ(error.localizedDescription(),
            "Server answered 101 without Upgrade: websocket and Connection: Upgrade");

  // Compressed frames would follow: an extension the client never offered fails the handshake.
  error = handshakeFailure([](const std::string& request) {
    return RawScriptedServer::upgradeResponse(request,
                                              "Sec-WebSocket-Extensions: permessage-deflate\r\n");
  });
  EXPECT_EQ(error.code(), kInvalidHandshakeCode);
  EXPECT_EQ(error.localizedDescription(),
            "Server specified Sec-WebSocket-Extensions that weren't requested");

  error = handshakeFailure([](const std::string& request) {
    return RawScriptedServer::upgradeResponse(request, "Sec-WebSocket-Protocol: chat\r\n");
  });
  EXPECT_EQ(error.localizedDescription(),
            "Server specified Sec-WebSocket-Protocol that wasn't requested");

  // A header that never ends is cut at 16 KiB.
  error = handshakeFailure([](const std::string&) {
    return "HTTP/1.1 101 Switching Protocols\r\nX-Filler: " + std::string(20000, 'f');
  });
  EXPECT_EQ(error.code(), kInvalidHandshakeCode);
  EXPECT_EQ(error.localizedDescription(),
            "Server's handshake response header is longer than 16384 bytes");
}

TEST(HostilePeerTest, ConnectionDroppedWithoutCloseReportsStreamEnd) {
  RawScriptedServer server([](RawScriptedServer::Connection& c) {
    c.write(RawScriptedServer::upgradeResponse(c.readRequest()) +
            RawScriptedServer::frame(0x81, "bye"));
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(delegate->closeCode, 0);
  EXPECT_EQ(delegate->closeReason, "Stream end encountered");
  EXPECT_FALSE(delegate->wasClean);
  ASSERT_EQ(delegate->messages.size(), 1u);
}

}  // namespace
}  // namespace dz::websocket
