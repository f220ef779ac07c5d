// Many forced drops while many writes are under way, plain and over TLS: every write completes
// exactly once and with "ok", the server ends with the last value written to each key, and a
// listener that applied every push it heard ends equal to the server.
#include <gtest/gtest.h>

#include "database/snapshot/snapshot_utilities.h"
#include "platform/application_notifications.h"
#include "tests/e2e/connection_fixture.h"

namespace dz::e2e {
namespace {

constexpr int kKeys = 16;

// Applies the pushes to a tree of its own. Work queue only.
class ModelDelegate : public LoggingDelegate {
 public:
  explicit ModelDelegate(EventLog& log) : LoggingDelegate(log) {}
  void onDataUpdate(PersistentConnection* connection, const std::string& pathString,
                    PushedData message, bool isMerge, std::optional<int64_t> tag) override {
    const Path path(pathString);
    if (const auto* merge = std::get_if<CompoundWrite>(&message)) {
      model = model->updateChild(path, merge->apply(model->getChild(path)));
    } else {
      model = model->updateChild(path, std::get<NodePtr>(message));
    }
    LoggingDelegate::onDataUpdate(connection, pathString, std::move(message), isMerge, tag);
  }
  NodePtr model = EmptyNode::emptyNode();
};

class ConnectionDropsTest : public ConnectionEndToEndTest {
 protected:
  void run(bool secure, int rounds, int writesPerRound) {
    makeConnection(secure);
    onQueue([&] { connection_->setDelegate(model_); });
    openAndWaitConnected();
    listen("/data");
    const int writes = rounds * writesPerRound;
    std::vector<std::string> outcomes(writes);  // work queue only
    int completed = 0;
    for (int round = 0; round < rounds; ++round) {
      onQueue([&] {
        for (int i = round * writesPerRound; i < (round + 1) * writesPerRound; ++i) {
          connection_->putData(node(i), "/data/k" + std::to_string(i % kKeys), std::nullopt,
                               [&, i](const WriteResult& result) {
                                 outcomes[i] += result.status + ";";
                                 ++completed;
                               });
        }
      });
      // Cut it while those writes are on their way, and come back without backoff.
      server_->databaseService().dropConnections();
      ASSERT_TRUE(events_.waitFor("disconnect", round + 1));
      notifications_.post(platform::kApplicationWillEnterForegroundNotification);
      ASSERT_TRUE(events_.waitFor("connect", round + 2));
    }
    ASSERT_TRUE(waitOnQueue([&] { return completed >= writes; }));
    onQueue([&] {
      for (int i = 0; i < writes; ++i) EXPECT_EQ(outcomes[i], "ok;") << "write " << i;
    });
    for (int key = 0; key < kKeys; ++key) {
      int last = (writes - 1) - ((writes - 1 - key) % kKeys);
      EXPECT_EQ(server_->snapshot("/data/k" + std::to_string(key)), last) << key;
    }
    const NodePtr expected = SnapshotUtilities::nodeFromJson(server_->snapshot("/data"));
    EXPECT_TRUE(
        waitOnQueue([&] { return model_->model->getChild(Path("/data"))->equals(*expected); }));
    onQueue([&] { EXPECT_EQ(connection_->outstandingPutCount(), 0u); });
  }

  std::shared_ptr<ModelDelegate> model_ = std::make_shared<ModelDelegate>(events_);
};

TEST_F(ConnectionDropsTest, WritesSurviveManyDropsAndTheListenerEndsEqualToTheServer) {
  run(/*secure=*/false, 80, 25);
}

class ConnectionDropsTlsTest : public ConnectionDropsTest {
 protected:
  void SetUp() override { startTlsServer(); }
};

TEST_F(ConnectionDropsTlsTest, WritesSurviveManyDropsAndTheListenerEndsEqualToTheServer) {
  run(/*secure=*/true, 30, 25);
}

}  // namespace
}  // namespace dz::e2e
