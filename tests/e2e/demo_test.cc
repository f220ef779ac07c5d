// The demo as scripts/demo runs it: dz-devserver over TLS, started with a ready file and a parent
// to watch, and dz-demo's two devices syncing through a connection drop the server makes on
// SIGUSR1. Also: the server ends by itself when the process it watches ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/sandbox.h"

namespace dz::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr auto kWait = seconds(60);

using dz::testing::Child;

std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The lines of `text` that start with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// The value of the "<name> <value>" line of the server's ready file.
std::string readyValue(const std::string& ready, const std::string& name) {
  auto lines = linesStartingWith(ready, name + " ");
  return lines.empty() ? std::string() : lines.front().substr(name.size() + 1);
}

class DemoTest : public ::testing::Test {
 protected:
  // Starts dz-devserver over TLS watching `parent`; returns its ready file's content.
  std::string startServer(pid_t parent) {
    fs::path readyFile = sandbox_.root() / "ready";
    server_.emplace(
        DZ_DEVSERVER_PROGRAM,
        std::vector<std::string>{"--tls", "on", "--namespace", "polls", "--ready-file",
                                 readyFile.string(), "--parent-pid", std::to_string(parent)},
        sandbox_.root() / "server.log");
    // The file appears whole (it is renamed into place) once the server listens.
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!fs::exists(readyFile) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return readFile(readyFile);
  }

  dz::testing::ScopedSandbox sandbox_;
  std::optional<Child> server_;
};

TEST_F(DemoTest, TwoDevicesSyncThroughAConnectionTheServerDrops) {
  std::string ready = startServer(getpid());
  std::string port = readyValue(ready, "port");
  std::string caFile = readyValue(ready, "ca");
  ASSERT_FALSE(port.empty()) << readFile(sandbox_.root() / "server.log");
  EXPECT_EQ(readyValue(ready, "url"), "https://polls.dz.test:" + port);
  ASSERT_TRUE(fs::exists(caFile));

  fs::path output = sandbox_.root() / "demo.log";
  Child demo(DZ_DEMO_PROGRAM, {"--port", port, "--server-pid", std::to_string(server_->pid())},
             output, {"DZ_RESOLVE=polls.dz.test=127.0.0.1", "DZ_CA_FILE=" + caFile});
  ASSERT_EQ(demo.waitForExit(), 0) << readFile(output);

  std::string text = readFile(output);
  // Device B's own lines keep their order; device A's interleave with them as the network goes.
  // The report of the second connection may come after what the restored listen brought, as the
  // connection reports it once it has sent its requests again.
  auto linesOfB = linesStartingWith(text, "device B: ");
  auto dropped =
      std::find(linesOfB.begin(), linesOfB.end(), "device B: connection dropped; reconnecting...");
  auto connectedAgain = std::find(linesOfB.begin(), linesOfB.end(), "device B: connected again");
  ASSERT_LT(dropped, connectedAgain) << text;
  linesOfB.erase(connectedAgain);
  EXPECT_EQ(
      linesOfB,
      (std::vector<std::string>{
          "device B: connected",
          "device B: listening at /polls -> ok",
          R"(device B: received /polls/p1 {"options":{"pizza":0,"salad":0},"question":"Lunch today?"})",
          R"(device B: received merge /polls/p1 {"options/pizza":1})",
          "device B: connection dropped; reconnecting...",
          R"(device B: received /polls {"p1":{"options":{"pizza":1,"salad":0},"question":"Lunch today?"}})",
          "device B: listening at /polls -> ok",
          R"(device B: received merge /polls/p1 {"options/salad":1})",
      }))
      << text;
  EXPECT_EQ(linesStartingWith(text, "device A: "),
            (std::vector<std::string>{
                "device A: connected",
                "device A: put /polls/p1 -> ok",
                "device A: merge /polls/p1 -> ok",
                "device A: connection dropped; reconnecting...",
                "device A: connected again",
                "device A: merge /polls/p1 -> ok",
            }))
      << text;
  EXPECT_EQ(linesStartingWith(text, "demo finished").size(), 1u) << text;

  // The server outlived the drop and stops cleanly, removing its CA.
  kill(server_->pid(), SIGTERM);
  EXPECT_EQ(server_->waitForExit(), 0);
  EXPECT_FALSE(fs::exists(caFile));
}

TEST_F(DemoTest, TheServerStopsWhenTheProcessItWatchesEnds) {
  Child parent("/bin/sleep", {"600"}, sandbox_.root() / "parent.log");
  ASSERT_GT(parent.pid(), 0);
  std::string ready = startServer(parent.pid());
  std::string caFile = readyValue(ready, "ca");
  ASSERT_FALSE(caFile.empty()) << readFile(sandbox_.root() / "server.log");

  kill(parent.pid(), SIGKILL);
  EXPECT_EQ(parent.waitForExit(), std::nullopt);  // killed: no exit status
  EXPECT_EQ(server_->waitForExit(), 0);
  EXPECT_FALSE(fs::exists(caFile));
}

TEST_F(DemoTest, TheServerRefusesABadParentPid) {
  Child server(DZ_DEVSERVER_PROGRAM, {"--parent-pid", "one"}, sandbox_.root() / "server.log");
  EXPECT_EQ(server.waitForExit(), 2);
}

}  // namespace
}  // namespace dz::e2e
