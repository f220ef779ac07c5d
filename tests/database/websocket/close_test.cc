// The closing handshake from the client's side, its time-out, and the socket's lifetime.
#include <gtest/gtest.h>

#include "platform/run_loop.h"
#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_raw_server.h"
#include "tests/support/beast_websocket_server.h"

namespace dz::websocket {
namespace {

using testing::BeastWebSocketServer;
using testing::RawScriptedServer;

TEST(CloseTest, CloseWhileConnectingSendsNoCloseFrame) {
  std::atomic<bool> requestSeen{false};
  std::atomic<int> framesAfterRequest{-1};
  std::mutex mutex;
  std::condition_variable proceed;
  bool closed = false;
  auto server = std::make_unique<RawScriptedServer>([&](RawScriptedServer::Connection& c) {
    c.readRequest();
    requestSeen = true;
    {
      std::unique_lock lock(mutex);
      proceed.wait_for(lock, kWaitTimeout, [&] { return closed; });
    }
    uint8_t first;
    std::string payload;
    int frames = 0;
    while (c.readFrame(first, payload)) ++frames;
    framesAfterRequest = frames;
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port()));
  // The request is out but never answered: the socket is still connecting.
  ASSERT_TRUE(
      platform::RunLoop::current().runUntil([&] { return requestSeen.load(); }, kWaitTimeout));
  EXPECT_EQ(socket->readyState(), ReadyState::kConnecting);
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
  {
    std::lock_guard lock(mutex);
    closed = true;
  }
  proceed.notify_all();
  server.reset();
  EXPECT_EQ(framesAfterRequest.load(), 0);
  EXPECT_FALSE(delegate->opened);
  EXPECT_FALSE(delegate->wasClean);
}

TEST(CloseTest, UnansweredCloseTimesOut) {
  RawScriptedServer server([](RawScriptedServer::Connection& c) {
    c.write(RawScriptedServer::upgradeResponse(c.readRequest()));
    c.waitForEnd();  // never answers the close frame
  });
  auto scheduler = platform::ManualScheduler::create();
  Limits limits;
  limits.scheduler = scheduler;
  limits.closeTimeout = std::chrono::seconds(5);
  auto [delegate, socket] = openSocket(plainRequest(server.port()), limits);
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  socket->close();
  // The time-out is armed on the work queue once the close frame is written.
  ASSERT_TRUE(platform::RunLoop::current().runUntil([&] { return scheduler->pendingCount() == 1; },
                                                    kWaitTimeout));
  EXPECT_EQ(socket->readyState(), ReadyState::kClosing);
  scheduler->advance(std::chrono::seconds(4));
  EXPECT_FALSE(delegate->closed);
  scheduler->advance(std::chrono::seconds(1));
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_EQ(delegate->closeCode, 1006);
  EXPECT_EQ(delegate->closeReason, "Closing handshake timed out");
  EXPECT_FALSE(delegate->wasClean);
}

TEST(CloseTest, FramesAfterOurCloseAreNotDeliveredAndTheServersCloseIsAwaited) {
  RawScriptedServer server([](RawScriptedServer::Connection& c) {
    c.write(RawScriptedServer::upgradeResponse(c.readRequest()));
    uint8_t first;
    std::string payload;
    while (c.readFrame(first, payload) && (first & 0x0F) != 0x8) {
    }
    c.write(RawScriptedServer::frame(0x81, "late message") +
            RawScriptedServer::frame(0x88, std::string("\x03\xE8", 2) + "ok"));
    c.waitForEnd();
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_TRUE(delegate->messages.empty());
  EXPECT_EQ(delegate->closeCode, 1000);
  EXPECT_EQ(delegate->closeReason, "ok");
  EXPECT_TRUE(delegate->wasClean);
}

TEST(CloseTest, NothingIsSentAfterOurCloseFrame) {
  std::vector<uint8_t> opcodes;
  auto server = std::make_unique<RawScriptedServer>([&](RawScriptedServer::Connection& c) {
    c.write(RawScriptedServer::upgradeResponse(c.readRequest()));
    uint8_t first;
    std::string payload;
    while (c.readFrame(first, payload)) {
      opcodes.push_back(first & 0x0F);
      if ((first & 0x0F) == 0x8) c.write(RawScriptedServer::frame(0x88, payload));
    }
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  socket->send("before");
  socket->close();
  socket->send("after");
  socket->sendPing("after");
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_TRUE(delegate->wasClean);
  server.reset();
  EXPECT_EQ(opcodes, (std::vector<uint8_t>{0x1, 0x8}));
}

TEST(CloseTest, SocketDroppedByItsUserIsFreedOnceClosed) {
  BeastWebSocketServer server(BeastWebSocketServer::echo());
  std::weak_ptr<WebSocket> weak;
  std::shared_ptr<RecordingDelegate> delegate;
  {
    auto opened = openSocket(plainRequest(server.port()));
    delegate = opened.delegate;
    weak = opened.socket;
    ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
    opened.socket->send("still works");
    opened.socket->close();
  }  // the user's last reference goes here
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_TRUE(delegate->wasClean);
  // Clean-up hops to the network thread and back; wait for the self-reference to go.
  EXPECT_TRUE(platform::RunLoop::current().runUntil([&] { return weak.expired(); }, kWaitTimeout));
}

TEST(CloseTest, SocketNeverOpenedIsFreedAtOnce) {
  std::weak_ptr<WebSocket> weak;
  {
    auto socket = WebSocket::create(requestFor("ws://127.0.0.1:9/"));
    weak = socket;
  }
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace dz::websocket
