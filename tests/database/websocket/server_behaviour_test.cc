// What an honest server may do, played by a Beast server: fragments, pings, closes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/database/websocket/recording_delegate.h"
#include "tests/support/beast_websocket_server.h"

namespace dz::websocket {
namespace {

using testing::BeastWebSocketServer;
using Session = BeastWebSocketServer::Session;

// Waits for the client's "done", so that the pongs it wrote before have been read by the server.
void awaitDone(Session& session) {
  std::string message;
  bool isText = true;
  while (session.read(message, isText) && message != "done") {
  }
}

TEST(ServerBehaviourTest, FragmentedMessageWithPingsBetweenFragments) {
  std::vector<std::string> pongs;
  auto server = std::make_unique<BeastWebSocketServer>([&](Session& session) {
    session.writeFragment("one ", false);
    session.ping("p1");
    session.writeFragment("two ", false);
    session.ping(std::string(125, 'x'));
    session.writeFragment("three", true);
    awaitDone(session);
    pongs = session.pongs();
    session.close(1000, "");
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return !delegate->messages.empty(); }));
  EXPECT_EQ(delegate->messages[0].data, "one two three");
  socket->send("done");
  ASSERT_TRUE(delegate->waitForEnd());
  server.reset();
  EXPECT_EQ(pongs, (std::vector<std::string>{"p1", std::string(125, 'x')}));
  EXPECT_EQ(delegate->messages.size(), 1u);
}

// Sends from several threads at once, with pings queued between them: messages are written in
// place or queued, yet each thread's arrive in the order sent, none is lost, and the close called
// after them all comes last.
TEST(ServerBehaviourTest, SendsFromManyThreadsKeepTheirOrderAndPrecedeTheClose) {
  constexpr int kThreads = 4;
  constexpr int kEach = 300;
  std::vector<std::string> received;
  auto server = std::make_unique<BeastWebSocketServer>([&](Session& session) {
    std::string message;
    bool isText = true;
    while (session.read(message, isText)) received.push_back(message);
  });
  auto [delegate, socket] = openSocket(plainRequest(server->port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->opened; }));
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&socket = socket, t] {
      for (int i = 0; i < kEach; ++i) {
        socket->send(std::to_string(t) + ":" + std::to_string(i));
        if (i % 25 == 0) socket->sendPing();
      }
    });
  }
  for (auto& sender : senders) sender.join();
  socket->close();
  ASSERT_TRUE(delegate->waitForEnd());
  server.reset();
  ASSERT_EQ(received.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const std::string& message : received) {
    const size_t colon = message.find(':');
    const int t = std::stoi(message.substr(0, colon));
    ASSERT_EQ(std::stoi(message.substr(colon + 1)), next[t]) << message;
    ++next[t];
  }
}

// Enough messages for many reads and several delegate batches, read on the network thread while
// the close is handled on the socket's queue: all arrive, in order, and the close comes last.
TEST(ServerBehaviourTest, LongMessageStreamThenCloseArrivesWholeAndInOrder) {
  constexpr int kCount = 3000;
  BeastWebSocketServer server([&](Session& session) {
    for (int i = 0; i < kCount; ++i) {
      session.write(std::to_string(i) + ":" + std::string(static_cast<size_t>(i % 700), 'x'));
    }
    session.ping("after the stream");
    session.close(1000, "all sent");
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_FALSE(delegate->error);
  EXPECT_EQ(delegate->closeReason, "all sent");
  ASSERT_EQ(delegate->messages.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(delegate->messages[static_cast<size_t>(i)].data,
              std::to_string(i) + ":" + std::string(static_cast<size_t>(i % 700), 'x'));
  }
  const auto events = delegate->eventNames();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "open");
  EXPECT_EQ(events.back(), "close");
}

TEST(ServerBehaviourTest, MultiByteCharacterSplitAcrossFrames) {
  const std::string text = "caf\xC3\xA9 \xF0\x9F\x98\x80!";
  BeastWebSocketServer server([&](Session& session) {
    session.writeFragment(text.substr(0, 4), false);  // "caf" and the lead byte of "é"
    session.writeFragment(text.substr(4, 3), false);  // its trail byte, " ", half of the emoji
    session.writeFragment(text.substr(7, 1), false);
    session.writeFragment(text.substr(8), true);
    awaitDone(session);
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return !delegate->messages.empty(); }));
  EXPECT_EQ(delegate->messages[0].data, text);
  socket->send("done");
  ASSERT_TRUE(delegate->waitForEnd());
}

TEST(ServerBehaviourTest, LargeMessagesInEveryLengthForm) {
  const std::vector<size_t> sizes = {125, 126, 65535, 65536, 1 << 20, 3 << 20};
  // Bytes that differ along the message, so that a piece read to the wrong place shows.
  const auto patterned = [](size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + size) % 251);
    return data;
  };
  BeastWebSocketServer server([&](Session& session) {
    for (size_t size : sizes) session.write(patterned(size), false);
    awaitDone(session);
  });
  auto [delegate, socket] = openSocket(plainRequest(server.port()));
  ASSERT_TRUE(delegate->waitUntil([&] { return delegate->messages.size() == sizes.size(); }));
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(delegate->messages[i].kind, Message::Kind::kBinary);
    EXPECT_TRUE(delegate->messages[i].data == patterned(sizes[i])) << sizes[i];
  }
  socket->send("done");
  ASSERT_TRUE(delegate->waitForEnd());
}

TEST(ServerBehaviourTest, MessageOverTheConfiguredCapClosesWith1009) {
  BeastWebSocketServer server([&](Session& session) {
    session.write(std::string(2000, 'c'));
    awaitDone(session);
  });
  Limits limits;
  limits.maxMessageBytes = 1000;
  auto [delegate, socket] = openSocket(plainRequest(server.port()), limits);
  ASSERT_TRUE(delegate->waitForEnd());
  EXPECT_EQ(delegate->closeCode, 1009);
  EXPECT_EQ(delegate->closeReason, "Message too big");
  EXPECT_TRUE(delegate->messages.empty());
}

TEST(ServerBehaviourTest, ServerCloseWithEachAllowedCodeIsReportedCleanly) {
  for (int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 4999}) {
    SCOPED_TRACE(code);
    std::atomic<int> clientAnswer{-1};
    auto server = std::make_unique<BeastWebSocketServer>([&](Session& session) {
      try {
        // Returns once the client's close frame has arrived; the client may already have
        // dropped the connection by the time the server shuts its side down.
        session.close(code, "server says " + std::to_string(code));
      } catch (const std::exception&) {
      }
      clientAnswer = session.closeCode();
    });
    auto [delegate, socket] = openSocket(plainRequest(server->port()));
    ASSERT_TRUE(delegate->waitForEnd());
    EXPECT_FALSE(delegate->error);
    EXPECT_EQ(delegate->closeCode, code);
    EXPECT_EQ(delegate->closeReason, "server says " + std::to_string(code));
    EXPECT_TRUE(delegate->wasClean);
    server.reset();
    EXPECT_EQ(clientAnswer.load(), 1000);
  }
}

}  // namespace
}  // namespace dz::websocket
