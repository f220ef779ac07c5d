// Events that cross each other: token changes during a fetch, requests that end the connection
// they go out on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {
namespace {

using State = PersistentConnection::State;

class PersistentConnectionRacesTest : public PersistentConnectionTest {
 protected:
  // For connections the test makes itself, beside the fixture's.
  PersistentConnection::Dependencies fakeDependencies() {
    PersistentConnection::Dependencies dependencies;
    dependencies.connectionFactory = [](std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr,
                                        std::optional<std::string>,
                                        std::weak_ptr<ConnectionDelegate> delegate) {
      return std::make_shared<FakeRealtimeConnection>(std::move(delegate));
    };
    dependencies.scheduler = scheduler_;
    dependencies.reachability = &reachability_;
    dependencies.notificationCenter = &notifications_;
    return dependencies;
  }
  // open() with the token fetch left unanswered.
  void openAndFetch() {
    tokens_->autoAnswer = false;
    onQueue([&] { connection_->open(); });
    flush();
    ASSERT_EQ(state(), State::FetchingToken);
  }
};

TEST_F(PersistentConnectionRacesTest, ASignOutDuringATokenFetchIsNotUndoneByTheFetch) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::nullopt);
    tokens_->answer(std::string("token-of-the-signed-out-user"));
  });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Online);
  EXPECT_EQ(realtime().actions(), std::vector<std::string>{"s"});
}

TEST_F(PersistentConnectionRacesTest, ASignInDuringATokenFetchIsNotUndoneByTheFetch) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::string("new-user"));
    tokens_->answer(std::nullopt);
  });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(state(), State::Authorizing);
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "new-user");
}

TEST_F(PersistentConnectionRacesTest, TheNextAttemptUsesItsOwnFetchAgain) {
  openAndFetch();
  onQueue([&] {
    connection_->refreshAuthToken(std::string("handed-over"));
    tokens_->answer(std::string("fetched-1"));
  });
  onQueue([&] { realtime().drop(); });
  advance(std::chrono::seconds(1));
  onQueue([&] { tokens_->answer(std::string("fetched-2")); });
  onQueue([&] { realtime().ready(); });
  EXPECT_EQ(realtime().lastBodyOf("auth").at("cred"), "fetched-2");
}

// The repository makes its connection on its caller's thread, while network and foreground
// triggers may already run on the work queue: none of them may start a connection before open().
TEST_F(PersistentConnectionRacesTest, TriggersDuringCreationDoNotConnectBeforeOpen) {
  std::atomic<bool> stop{false};
  // A bounded burst, so that the work queue always catches up with it.
  std::thread triggers([&] {
    for (int n = 0; n < 3000 && !stop; ++n) {
      notifications_.post("UIApplicationWillEnterForegroundNotification");
      reachability_.setReachable(false);
      reachability_.setReachable(true);
    }
  });
  PersistentConnection::Dependencies dependencies = fakeDependencies();
  for (int i = 0; i < 300; ++i) {
    auto made = PersistentConnection::create(repoInfo_, queue_, config_, dependencies);
    flush();
    flush();
    onQueue([&] {
      EXPECT_EQ(made->state(), State::Offline) << "attempt " << i;
      made.reset();
    });
  }
  stop = true;
  triggers.join();
  EXPECT_TRUE(tokens_->forceFlags.empty());
}

// A realtime connection that notes whether it was closed on the work queue.
class QueueCheckingConnection : public FakeRealtimeConnection {
 public:
  QueueCheckingConnection(std::weak_ptr<ConnectionDelegate> delegate,
                          platform::DispatchQueuePtr queue)
      : FakeRealtimeConnection(std::move(delegate)), queue_(std::move(queue)) {}
  void close() override {
    closedOnQueue = queue_->isCurrent();
    FakeRealtimeConnection::close();
  }
  std::atomic<bool> closedOnQueue{false};

 private:
  platform::DispatchQueuePtr queue_;
};

// Sockets are driven from the work queue only, also when the owner lets go of the connection on
// another thread.
TEST_F(PersistentConnectionRacesTest, AConnectionReleasedOffTheWorkQueueClosesItsSocketThere) {
  std::shared_ptr<QueueCheckingConnection> made;
  PersistentConnection::Dependencies dependencies = fakeDependencies();
  dependencies.connectionFactory = [&](std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr queue,
                                       std::optional<std::string>,
                                       std::weak_ptr<ConnectionDelegate> delegate) {
    made = std::make_shared<QueueCheckingConnection>(std::move(delegate), queue);
    return made;
  };
  auto connection = PersistentConnection::create(repoInfo_, queue_, config_, dependencies);
  onQueue([&] { connection->open(); });
  flush();
  flush();
  ASSERT_TRUE(made);
  connection.reset();
  flush();
  EXPECT_TRUE(made->closed);
  EXPECT_TRUE(made->closedOnQueue);
}

// Letting go of the connection on another thread while its first attempt is due on the work
// queue: the attempt either runs or is withdrawn, without the two threads touching it at once
// (the sanitizers watch that). Either way each connection goes, and so does the socket an attempt
// opened for it.
TEST_F(PersistentConnectionRacesTest, ReleasingTheConnectionWhileAnAttemptIsDueLeavesNothingOpen) {
  PersistentConnection::Dependencies dependencies = fakeDependencies();
  std::vector<std::shared_ptr<FakeRealtimeConnection>> sockets;  // made on the work queue
  dependencies.connectionFactory = [&sockets](std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr,
                                              std::optional<std::string>,
                                              std::weak_ptr<ConnectionDelegate> delegate) {
    sockets.push_back(std::make_shared<FakeRealtimeConnection>(std::move(delegate)));
    return sockets.back();
  };
  std::vector<std::weak_ptr<PersistentConnection>> released;
  for (int i = 0; i < 200; ++i) {
    auto made = PersistentConnection::create(repoInfo_, queue_, config_, dependencies);
    std::weak_ptr<PersistentConnection> weak = made;
    released.push_back(weak);
    queue_->async([weak] {
      if (auto connection = weak.lock()) connection->open();
    });
    for (int spin = 0; spin < i % 7; ++spin) std::this_thread::yield();
    made.reset();
  }
  flush();
  flush();
  onQueue([&] {
    for (size_t i = 0; i < released.size(); ++i) EXPECT_TRUE(released[i].expired()) << i;
    EXPECT_LE(sockets.size(), released.size());
    for (const auto& socket : sockets) EXPECT_TRUE(socket->closed);
  });
}

}  // namespace
}  // namespace dz::database::testing
