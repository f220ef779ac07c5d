// The real connection stack against peers that never finish opening: the connect check gives up,
// the next attempt follows, and a connection dropped at any point frees its sockets (the test
// build's leak check sees what is left).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/scheduler.h"
#include "tests/e2e/connection_fixture.h"
#include "tests/support/beast_raw_server.h"

namespace dz::e2e {
namespace {

using std::chrono::seconds;

class ConnectionLifetimeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (connection_) onQueue([&] { connection_.reset(); });
    onQueue([] {});
  }
  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  void makeConnection(uint16_t port) {
    platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
    repoInfo_ = RepoInfo::create("ns.dz.test:" + std::to_string(port), false, "ns");
    tokens_ = std::make_shared<StaticTokenProvider>(queue_);
    PersistentConnection::Dependencies dependencies;
    dependencies.scheduler = scheduler_;
    dependencies.random = [] { return 0.0; };
    dependencies.reachability = &reachability_;
    dependencies.notificationCenter = &notifications_;
    onQueue([&] {
      connection_ = PersistentConnection::create(
          repoInfo_, queue_, DatabaseConfig::create("e2e", tokens_), dependencies);
      connection_->setDelegate(delegate_);
      connection_->open();
    });
  }
  // A peer that reads the upgrade request and never answers it.
  static dz::testing::RawScriptedServer::Script silentPeer(std::atomic<int>& accepted,
                                                           std::atomic<int>& ended) {
    return [&accepted, &ended](dz::testing::RawScriptedServer::Connection& peer) {
      ++accepted;
      peer.readRequest();
      if (peer.waitForEnd()) ++ended;
    };
  }
  static bool waitUntil(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::yield();
    }
    return false;
  }

  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("e2e.lifetime");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  platform::Reachability reachability_;
  platform::NotificationCenter notifications_;
  EventLog events_;
  std::shared_ptr<LoggingDelegate> delegate_ = std::make_shared<LoggingDelegate>(events_);
  RepoInfoPtr repoInfo_;
  std::shared_ptr<StaticTokenProvider> tokens_;
  std::shared_ptr<PersistentConnection> connection_;
};

TEST_F(ConnectionLifetimeTest, APeerThatNeverAnswersTheUpgradeIsLeftAfterThirtySeconds) {
  std::atomic<int> accepted{0}, ended{0};
  dz::testing::RawScriptedServer server(silentPeer(accepted, ended));
  makeConnection(server.port());
  ASSERT_TRUE(waitUntil([&] { return accepted == 1; }));
  // The peer may accept before the queue task that opened the socket has booked the time-out.
  onQueue([] {});
  scheduler_->advance(seconds(29));
  onQueue([] {});
  EXPECT_EQ(ended, 0);
  scheduler_->advance(seconds(1));
  ASSERT_TRUE(waitUntil([&] { return ended == 1; }));
  // The socket ends before the connection hears of it and books the next attempt.
  EXPECT_TRUE(events_.waitFor("disconnect"));
  EXPECT_EQ(events_.count("connect"), 0u);
  // The next attempt follows the backoff.
  scheduler_->advance(seconds(1));
  ASSERT_TRUE(waitUntil([&] { return accepted == 2; }));
  onQueue([&] { connection_.reset(); });
  EXPECT_TRUE(waitUntil([&] { return ended == 2; }));
}

TEST_F(ConnectionLifetimeTest, APeerThatUpgradesButNeverSendsTheHandshakeIsLeftAfterThirtySeconds) {
  std::atomic<int> accepted{0}, open{0}, ended{0};  // ended: the client's close frame came
  dz::testing::RawScriptedServer server([&](dz::testing::RawScriptedServer::Connection& peer) {
    ++accepted;
    std::string request = peer.readRequest();
    // A ping only an open WebSocket answers, then silence.
    peer.write(dz::testing::RawScriptedServer::upgradeResponse(request) +
               dz::testing::RawScriptedServer::frame(0x89, "p"));
    uint8_t first = 0;
    std::string payload;
    while (peer.readFrame(first, payload)) {
      if ((first & 0x0F) == 0xA) ++open;
      if ((first & 0x0F) == 0x8) {
        ++ended;
        peer.write(dz::testing::RawScriptedServer::frame(0x88, payload));
      }
    }
  });
  makeConnection(server.port());
  ASSERT_TRUE(waitUntil([&] { return open == 1; }));
  onQueue([] {});
  scheduler_->advance(seconds(29));
  onQueue([] {});
  EXPECT_EQ(ended, 0);
  scheduler_->advance(seconds(1));
  ASSERT_TRUE(waitUntil([&] { return ended == 1; }));
  EXPECT_TRUE(events_.waitFor("disconnect"));
  EXPECT_EQ(events_.count("connect"), 0u);
  // The next attempt follows the backoff.
  scheduler_->advance(seconds(1));
  ASSERT_TRUE(waitUntil([&] { return accepted == 2; }));
}

TEST_F(ConnectionLifetimeTest, APeerThatClosesBeforeTheHandshakeIsRetriedWithBackoff) {
  std::atomic<int> accepted{0};
  dz::testing::RawScriptedServer server([&](dz::testing::RawScriptedServer::Connection& peer) {
    ++accepted;
    std::string request = peer.readRequest();
    peer.write(dz::testing::RawScriptedServer::upgradeResponse(request));
    // A close frame (1000) and no handshake.
    peer.write(dz::testing::RawScriptedServer::frame(0x88, std::string("\x03\xE8", 2)));
    peer.waitForEnd();
  });
  auto disconnected = [&](size_t times) {
    return waitUntil([&] { return events_.count("disconnect") >= times; });
  };
  makeConnection(server.port());
  ASSERT_TRUE(disconnected(1));
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(events_.count("connect"), 0u);
  // Past the first delay (0.3 s) and short of the first two together (0.69 s): the second
  // attempt may fail, and book the next, while the clock still moves.
  scheduler_->advance(std::chrono::milliseconds(500));
  EXPECT_TRUE(disconnected(2));
  EXPECT_EQ(accepted, 2);
}

TEST_F(ConnectionLifetimeTest, DroppingAConnectionThatIsStillOpeningFreesItsSocket) {
  std::atomic<int> accepted{0}, ended{0};
  dz::testing::RawScriptedServer server(silentPeer(accepted, ended));
  makeConnection(server.port());
  ASSERT_TRUE(waitUntil([&] { return accepted == 1; }));
  onQueue([&] { connection_.reset(); });
  EXPECT_TRUE(waitUntil([&] { return ended == 1; }));
}

}  // namespace
}  // namespace dz::e2e
