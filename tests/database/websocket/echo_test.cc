#include <gtest/gtest.h>

#include <atomic>

#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_websocket_server.h"

namespace dz::websocket {
namespace {

using testing::BeastWebSocketServer;

TEST(EchoTest, ExchangesTextAndBinaryInAllLengthFormsThenClosesCleanly) {
  std::atomic<int> serverSawClose{0};
  std::string userAgent;
  auto server = std::make_unique<BeastWebSocketServer>([&](BeastWebSocketServer::Session& session) {
    userAgent = session.requestField("User-Agent");
    BeastWebSocketServer::echo()(session);
    serverSawClose = session.closeCode();
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port(), "/.ws?v=5"), {}, "agent/1.0");
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  EXPECT_EQ(socket->readyState(), ReadyState::kOpen);

  const std::vector<size_t> sizes = {0, 1, 125, 126, 65535, 65536, 200000};
  for (size_t size : sizes) socket->send(std::string(size, 't'));
  socket->sendData(std::string("\x00\x01\xFF", 3));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->messages.size() == sizes.size() + 1; }));
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(delegate->messages[i].kind, Message::Kind::kText);
    EXPECT_EQ(delegate->messages[i].data, std::string(sizes[i], 't'));
  }
  EXPECT_EQ(delegate->messages.back().kind, Message::Kind::kBinary);
  EXPECT_EQ(delegate->messages.back().data, std::string("\x00\x01\xFF", 3));

  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(delegate->closeCode, 1000);
  EXPECT_TRUE(delegate->wasClean);
  EXPECT_EQ(socket->readyState(), ReadyState::kClosed);
  server.reset();  // joins the connection's thread
  EXPECT_EQ(userAgent, "agent/1.0");
  EXPECT_EQ(serverSawClose.load(), 1000);
  EXPECT_EQ(delegate->eventNames().front(), "open");
  EXPECT_EQ(delegate->eventNames().back(), "close");
}

TEST(EchoTest, ClosesWithTheCallersCodeAndReason) {
  std::atomic<int> serverSawClose{0};
  std::string serverSawReason;
  auto server = std::make_unique<BeastWebSocketServer>([&](BeastWebSocketServer::Session& session) {
    BeastWebSocketServer::echo()(session);
    serverSawReason = session.closeReason();
    serverSawClose = session.closeCode();
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  socket->close(4001, std::string(200, 'r'));
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_EQ(delegate->closeCode, 4001);
  EXPECT_TRUE(delegate->wasClean);
  server.reset();
  EXPECT_EQ(serverSawClose.load(), 4001);
  EXPECT_EQ(serverSawReason, std::string(123, 'r'));
}

TEST(EchoTest, MisuseThrows) {
  EXPECT_THROW(WebSocket::create(requestFor("ftp://h.dz.test/")), Exception);
  BeastWebSocketServer server(BeastWebSocketServer::echo());
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  // Before the handshake is answered the socket is still connecting, or has just opened.
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  EXPECT_THROW(socket->open(), Exception);
  EXPECT_THROW(socket->close(1005, ""), Exception);
  EXPECT_THROW(socket->sendPing(std::string(126, 'p')), Exception);
  auto unopened = WebSocket::create(plainRequest(server.port()));
  try {
    unopened->send("x");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInternalInconsistencyException);
    EXPECT_EQ(e.reason(), "Invalid State: Cannot call send: until connection is open");
  }
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
}

TEST(EchoTest, ClientPingIsAnsweredWithPong) {
  BeastWebSocketServer server(BeastWebSocketServer::echo());
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  socket->sendPing("are you there");
  ASSERT_TRUE(delegate->waitUntil([&] { return !delegate->pongs.empty(); }));
  EXPECT_EQ(delegate->pongs.front(), "are you there");
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
}

}  // namespace
}  // namespace dz::websocket
