// A repository over scripted realtime connections: the test plays the server, and events and
// completions run on a callback queue of the test's own.
#pragma once

#include "database/core/repo.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"
#include "tests/database/core/persistent_connection_fixture.h"

namespace dz::database::testing {

// A store that hands out what the test put in it, in the order given, and records saves.
class ScriptedStorageEngine : public StorageEngine {
 public:
  void saveUserOverwrite(const NodePtr& node, const Path& path, WriteId writeId) override {
    saved.push_back(writeId);
    stored.push_back(WriteRecord::overwrite(writeId, path, node));
  }
  void saveUserMerge(const CompoundWrite& merge, const Path& path, WriteId writeId) override {
    saved.push_back(writeId);
    stored.push_back(WriteRecord::merge(writeId, path, merge));
  }
  void removeUserWrite(WriteId writeId) override { removed.push_back(writeId); }
  void removeAllUserWrites() override { stored.clear(); }
  std::vector<WriteRecord> userWrites() override { return stored; }
  void close() override { closed = true; }

  std::vector<WriteRecord> stored;
  std::vector<WriteId> saved;
  std::vector<WriteId> removed;
  bool closed = false;
};

class RepoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setWallClockSource([] { return 1.7e9; });
    tokens_ = std::make_shared<FakeTokenProvider>(queue_);
    config_ = DatabaseConfig::create("repo-test", tokens_);
    config_->setCallbackQueue(callbacks_);
  }
  void TearDown() override {
    if (repo_) onQueue([&] { repo_->dispose(); });
    flush();
    repo_.reset();
    flush();
    platform::setWallClockSource({});
  }

  RepoPtr makeRepo(const std::string& host = "ns.dz.test") {
    RepoDependencies dependencies;
    dependencies.queue = queue_;
    dependencies.notificationCenter = &notifications_;
    dependencies.connection.connectionFactory =
        [this](std::shared_ptr<RepoInfo>, platform::DispatchQueuePtr, std::optional<std::string>,
               std::weak_ptr<ConnectionDelegate> delegate) {
          auto fake = std::make_shared<FakeRealtimeConnection>(std::move(delegate));
          connections_.push_back(fake);
          return fake;
        };
    dependencies.connection.scheduler = scheduler_;
    dependencies.connection.random = [] { return 0.0; };
    dependencies.connection.reachability = &reachability_;
    dependencies.connection.notificationCenter = &notifications_;
    return Repo::create(RepoInfo::create(host, true, "ns"), config_, std::move(dependencies));
  }
  void start() {
    repo_ = makeRepo();
    flush();
    flush();
    ASSERT_FALSE(connections_.empty());
  }
  void becomeReady(double serverTimeMs = 1.7e12) {
    onQueue([&] { connections_.back()->ready(serverTimeMs); });
    onQueue([&] {
      auto auth = connections_.back()->lastNumberOf("auth");
      if (auth >= 0) connections_.back()->reply(auth, "ok");
    });
    flush();
  }

  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  // Lets the work queue and then the callback queue run out (twice: work may post more work).
  void flush() {
    for (int round = 0; round < 2; ++round) {
      queue_->sync([] {});
      callbacks_->sync([] {});
    }
  }
  // A value listener at `path` that logs each value as JSON.
  void listen(const std::string& path) {
    auto registration =
        ValueEventRegistration::create(LUIDGenerator(), [this, path](const DataEvent& event) {
          values_.push_back(path + " " + event.snapshot.node()->val().toJsonString());
        });
    onQueue([&] {
      repo_->addEventRegistration(registration, QuerySpec::defaultQueryAtPath(Path(path)));
    });
    flush();
  }

  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("repo.work");
  platform::DispatchQueuePtr callbacks_ = platform::DispatchQueue::create("repo.callbacks");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  platform::Reachability reachability_;
  platform::NotificationCenter notifications_;
  std::shared_ptr<FakeTokenProvider> tokens_;
  DatabaseConfigPtr config_;
  std::vector<std::shared_ptr<FakeRealtimeConnection>> connections_;
  RepoPtr repo_;
  std::vector<std::string> values_;
};

// A repository that is online, with the scripted server at hand.
class OnlineRepoTest : public RepoTest {
 protected:
  void SetUp() override {
    RepoTest::SetUp();
    start();
    becomeReady();
  }
  FakeRealtimeConnection& server() { return *connections_.back(); }
};

}  // namespace dz::database::testing
