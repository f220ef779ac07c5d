// Persistence across processes: a client process (dz-e2e-client) writes while offline and ends,
// or holds the store while this process starts on it.
#include <filesystem>
#include <fstream>
#include <thread>

#include "database/core/repo.h"
#include "database/core/repo_manager.h"
#include "database/utilities/work_queue.h"
#include "tests/e2e/repo_api_fixture.h"

namespace dz::e2e {
namespace {

class RepoApiProcessTest : public RepoApiTest {
 protected:
  // A client process that writes offline with persistence (and keeps its store until
  // `holdFile` exists, when one is given).
  std::unique_ptr<dz::testing::Child> writeOffline(const std::string& appName,
                                                   const std::string& holdFile = {}) {
    std::vector<std::string> arguments{"offline-writes", server_->databaseUrl(), appName};
    if (!holdFile.empty()) arguments.push_back(holdFile);
    return spawnClient(std::move(arguments), appName + ".log");
  }
  // The app's database with persistence; true when its repository got the store.
  std::shared_ptr<Database> open(const std::string& appName) {
    core::Options options;
    options.databaseURL = server_->databaseUrl();
    core::App::configure(appName, options);
    auto database = makeDatabase(core::App::appNamed(appName), true);
    recordValues(database->reference().child("notes"), appName);
    workQueue()->sync([] {});
    return database;
  }
  bool serverHasTheNotesOnce() {
    bool arrived = server_->waitUntil([&] {
      return server_->snapshot("/notes") == boost::json::value{{"a", "one"}, {"b", "two"}};
    });
    return arrived && server_->requestCount("p") == 1 && server_->requestCount("m") == 1;
  }
};

TEST_F(RepoApiProcessTest, OfflineWritesSurviveARestartOfTheProcessAndReachTheServerOnce) {
  std::string appName = uniqueName("restart");
  ASSERT_EQ(writeOffline(appName)->waitForExit(), 0);
  EXPECT_EQ(server_->requestCount("p") + server_->requestCount("m"), 0u);
  auto database = open(appName);
  EXPECT_TRUE(database->repo()->hasPersistence());
  EXPECT_TRUE(serverHasTheNotesOnce());
  EXPECT_TRUE(seen_.waitForLast(appName, Value(Value::Map{{"a", "one"}, {"b", "two"}})));
}

TEST_F(RepoApiProcessTest,
       ASecondProcessOnTheStoreRunsWithoutPersistenceAndTheFirstKeepsItsWrites) {
  std::string appName = uniqueName("shared");
  std::filesystem::path release = sandbox_.root() / "release";
  auto child = writeOffline(appName, release.string());
  ASSERT_TRUE(dz::testing::waitForFile(release.string() + ".held", nullptr, kApiWait));
  auto second = open(appName);
  EXPECT_FALSE(second->repo()->hasPersistence());
  std::ofstream(release) << "go";
  ASSERT_EQ(child->waitForExit(), 0);
  // The holder's writes are all still in the store for the next start.
  RepoManager::disposeRepos(second->config());
  core::App::appNamed(appName)->deleteApp();
  auto third = open(appName);
  EXPECT_TRUE(third->repo()->hasPersistence());
  EXPECT_TRUE(serverHasTheNotesOnce());
}

TEST_F(RepoApiProcessTest, AClientInAnotherProcessIsHeardThroughTheServer) {
  auto here = client("here");
  here->reference().child("live").observeEventType(
      DataEventType::ChildAdded,
      [seen = seenPtr_](const DataSnapshot& snapshot) { seen->add("added", snapshot.value()); });
  std::string there = uniqueName("there");
  ASSERT_EQ(
      spawnClient({"write-online", server_->databaseUrl(), there}, there + ".log")->waitForExit(),
      0);
  EXPECT_TRUE(seen_.waitForLast("added", "hello"));
}

}  // namespace
}  // namespace dz::e2e
