// Persistence across processes: this test program runs itself as a second process (a disabled
// test that only acts when the parent hands it its settings) which writes while offline and ends,
// or holds the store while the parent starts.
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "database/core/repo.h"
#include "database/core/repo_manager.h"
#include "database/utilities/work_queue.h"
#include "tests/e2e/repo_api_fixture.h"

extern char** environ;

namespace dz::e2e {
namespace {

constexpr char kUrlVariable[] = "DZ_E2E_DATABASE_URL";
constexpr char kAppVariable[] = "DZ_E2E_APP";
constexpr char kHoldVariable[] = "DZ_E2E_HOLD_UNTIL";  // a file: keep the store until it exists

std::string env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

bool waitForFile(const std::filesystem::path& file) {
  auto deadline = std::chrono::steady_clock::now() + kApiWait;
  while (!std::filesystem::exists(file)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The second process: offline writes with persistence, then (when asked) holding the store.
TEST(RepoApiChildProcess, DISABLED_WritesOfflineAndEnds) {
  if (env(kUrlVariable).empty()) GTEST_SKIP() << "run by the process tests only";
  core::Options options;
  options.databaseURL = env(kUrlVariable);
  core::App::configure(env(kAppVariable), options);
  auto database = Database::databaseForApp(core::App::appNamed(env(kAppVariable)));
  database->setPersistenceEnabled(true);
  database->goOffline();
  database->reference().child("notes/a").setValue("one");
  database->reference().child("notes").updateChildValues(Value::Map{{"b", "two"}});
  // Both writes are stored once the work queue has run them.
  workQueue()->sync([] {});
  ASSERT_TRUE(database->repo()->hasPersistence());
  std::string hold = env(kHoldVariable);
  if (hold.empty()) return;
  std::ofstream(hold + ".held") << "held";
  ASSERT_TRUE(waitForFile(hold));
}

// The second process as a live client: one write, waited for until the server confirmed it.
TEST(RepoApiChildProcess, DISABLED_WritesOnline) {
  if (env(kUrlVariable).empty()) GTEST_SKIP() << "run by the process tests only";
  core::Options options;
  options.databaseURL = env(kUrlVariable);
  core::App::configure(env(kAppVariable), options);
  platform::Resolver::setOverride("ns.dz.test", "127.0.0.1");
  auto database = Database::databaseForApp(core::App::appNamed(env(kAppVariable)));
  database->setCallbackQueue(platform::DispatchQueue::create("child.callbacks"));
  auto seen = std::make_shared<Seen>();
  database->reference()
      .child("live/child")
      .setValue("hello", [seen](const ErrorPtr& error, const DatabaseReference&) {
        seen->add("w", !error);
      });
  ASSERT_TRUE(seen->waitForLast("w", true));
}

class RepoApiProcessTest : public RepoApiTest {
 protected:
  // Starts this program as the child test with the given settings.
  pid_t spawnChild(const std::string& appName, const std::string& holdFile = {},
                   const std::string& test = "WritesOfflineAndEnds") {
    setenv(kUrlVariable, server_->databaseUrl().c_str(), 1);
    setenv(kAppVariable, appName.c_str(), 1);
    if (holdFile.empty()) {
      unsetenv(kHoldVariable);
    } else {
      setenv(kHoldVariable, holdFile.c_str(), 1);
    }
    std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {program, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=RepoApiChildProcess.DISABLED_" + test};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    unsetenv(kUrlVariable);
    return pid;
  }
  static bool exitedCleanly(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
  ASSERT_TRUE(exitedCleanly(spawnChild(appName)));
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
  pid_t child = spawnChild(appName, release.string());
  ASSERT_TRUE(waitForFile(release.string() + ".held"));
  auto second = open(appName);
  EXPECT_FALSE(second->repo()->hasPersistence());
  std::ofstream(release) << "go";
  ASSERT_TRUE(exitedCleanly(child));
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
  ASSERT_TRUE(exitedCleanly(spawnChild(uniqueName("there"), {}, "WritesOnline")));
  EXPECT_TRUE(seen_.waitForLast("added", "hello"));
}

}  // namespace
}  // namespace dz::e2e
