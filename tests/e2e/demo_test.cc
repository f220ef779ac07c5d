// The demo as scripts/demo runs it (three phones, each a process of its own, every step checked;
// its folder, interrupts, the phone program's arguments), and the standalone development server's
// ready file and parent watch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
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
// A whole demo: every step settles (300 ms without work at least), slower under ThreadSanitizer.
constexpr auto kDemoWait = seconds(300);

using dz::testing::Child;
using dz::testing::readFile;

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

// Waits until `file` holds `text`; false when it does not within kWait.
bool waitForText(const fs::path& file, const std::string& text) {
  return dz::testing::waitForFile(
             file,
             [&](const std::string& written) { return written.find(text) != std::string::npos; },
             kWait)
      .has_value();
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
    return dz::testing::waitForFile(readyFile, nullptr, kWait).value_or("");
  }

  dz::testing::ScopedSandbox sandbox_;
  std::optional<Child> server_;
};

TEST_F(DemoTest, ThePollApplicationOnThreePhonesPassesEveryStep) {
  fs::path out = sandbox_.root() / "screens";
  fs::path pictures = sandbox_.root() / "pictures";
  fs::path output = sandbox_.root() / "demo.log";
  fs::path temporary = sandbox_.root() / "tmp";
  fs::create_directories(temporary);
  Child demo(DZ_DEMO_PROGRAM, {"--quick", "--out", out.string(), "--pictures", pictures.string()},
             output, {"TMPDIR=" + temporary.string()});
  ASSERT_EQ(demo.waitForExit(kDemoWait), 0) << readFile(output);

  std::string text = readFile(output);
  EXPECT_EQ(linesStartingWith(text, "demo: every step passed").size(), 1u) << text;
  // Each line says what the phone shows once it settled, in its user's words.
  EXPECT_NE(text.find("B restarted             shows the polls feed; signed in as bo@school.edu; "
                      "feed of "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("A send                  poll sent; feed of 1 poll | 'Lunch on Friday?'"),
            std::string::npos)
      << text;
  // A card shows the counts only once its phone voted; the line says so, and what the server
  // holds comes on a line of its own.
  EXPECT_NE(text.find("B sees-poll             sees 'Lunch on Friday?' with no counts (its card "
                      "shows them once this phone votes); feed of 1 poll"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("server: 'Lunch on Friday?' holds Noodle bar 0, Pizza place 0, Taco truck 0"),
            std::string::npos)
      << text;
  // The offline vote shows on a phone that sees the poll's counts.
  EXPECT_NE(text.find("A vote-arrives          sees 'Coffee at 3?': yes 1, no 1"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("B vote                  voted Noodle bar; sees 'Lunch on Friday?': Noodle "
                      "bar 1, Pizza place 1, Taco truck 0"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("server: 'Coffee at 3?' counts B's offline vote once"), std::string::npos)
      << text;
  EXPECT_EQ(readFile(out / "transcript.txt").empty(), false);
  // One picture of the acting phone per step.
  size_t drawn = 0, steps = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    drawn += entry.path().extension() == ".png";
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    steps += std::regex_search(line, std::regex("^ ?[0-9]+ [ABC] "));
  }
  EXPECT_GT(steps, 20u) << text;
  EXPECT_EQ(drawn, steps) << text;

  // The README's pictures are screens of this run: B's feed when it first sees the direct poll,
  // and A composing.
  auto firstScreen = [&](const std::string& phoneAndStep) {
    std::set<fs::path> screens;
    for (const auto& entry : fs::directory_iterator(out)) {
      if (entry.path().string().ends_with("-" + phoneAndStep + ".png")) screens.insert(entry);
    }
    return screens.empty() ? std::string() : readFile(*screens.begin());
  };
  EXPECT_FALSE(firstScreen("B-sees-direct").empty());
  EXPECT_EQ(readFile(pictures / "demo-feed.png"), firstScreen("B-sees-direct"));
  EXPECT_EQ(readFile(pictures / "demo-compose.png"), firstScreen("A-compose"));
  // The server and the phones leave nothing in the temporary folder.
  EXPECT_TRUE(fs::is_empty(temporary));
}

TEST_F(DemoTest, AFolderServesOneRunAtATimeAndEveryRunStartsAfresh) {
  fs::path out = sandbox_.root() / "screens";
  // Every phone's screen of every step, by file name.
  auto screens = [&] {
    std::map<std::string, std::string> drawn;
    for (const auto& entry : fs::directory_iterator(out)) {
      if (entry.path().extension() == ".png") drawn[entry.path().filename()] = readFile(entry);
    }
    return drawn;
  };
  Child first(DZ_DEMO_PROGRAM, {"--out", out.string()}, sandbox_.root() / "first.log");
  ASSERT_TRUE(waitForText(sandbox_.root() / "first.log", " 1 A location"));
  Child second(DZ_DEMO_PROGRAM, {"--quick", "--out", out.string()}, sandbox_.root() / "second.log");
  EXPECT_EQ(second.waitForExit(), 1);
  EXPECT_NE(readFile(sandbox_.root() / "second.log").find("is in use by another demo run"),
            std::string::npos);
  ASSERT_EQ(first.waitForExit(kDemoWait), 0) << readFile(sandbox_.root() / "first.log");
  const auto firstScreens = screens();
  // A phone draws once it settled on what the server holds: A sees B's offline vote as soon as
  // B is back online.
  EXPECT_TRUE(firstScreens.at("25-A-online.png") == firstScreens.at("26-A-vote-arrives.png"));

  // The first run's phones are still signed in in their files; the next run's sign up again.
  Child again(DZ_DEMO_PROGRAM, {"--out", out.string()}, sandbox_.root() / "again.log");
  EXPECT_EQ(again.waitForExit(kDemoWait), 0) << readFile(sandbox_.root() / "again.log");
  // Every run draws the same screens.
  const auto againScreens = screens();
  EXPECT_GT(firstScreens.size(), 60u);
  std::string differing;
  for (const auto& [name, png] : firstScreens) {
    auto drawn = againScreens.find(name);
    if (drawn == againScreens.end() || drawn->second != png) differing += " " + name;
  }
  EXPECT_EQ(differing, "");
  EXPECT_EQ(againScreens.size(), firstScreens.size());
}

TEST_F(DemoTest, AnInterruptedDemoEndsItsPhonesAndServerFiles) {
  fs::path temporary = sandbox_.root() / "tmp";
  fs::create_directories(temporary);
  fs::path output = sandbox_.root() / "demo.log";
  Child demo(DZ_DEMO_PROGRAM, {"--quick", "--out", (sandbox_.root() / "screens").string()}, output,
             {"TMPDIR=" + temporary.string()});
  ASSERT_TRUE(waitForText(output, " 2 A signup"));
  ASSERT_TRUE(demo.signal(SIGINT));
  EXPECT_EQ(demo.waitForExit(), 130) << readFile(output);
  EXPECT_NE(readFile(output).find("demo: interrupted"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(temporary)) {
    EXPECT_EQ(entry.path().filename().string().rfind("dz-devserver-", 0), std::string::npos)
        << entry.path();
  }
}

// scripts/demo answers as the program does, before it sets up or builds anything.
TEST_F(DemoTest, TheDemoAnswersHelpAndRefusesUnknownArguments) {
  for (const char* program : {DZ_DEMO_PROGRAM, DZ_DEMO_SCRIPT}) {
    fs::path help = sandbox_.root() / "help.log";
    Child asked(program, {"--help"}, help);
    EXPECT_EQ(asked.waitForExit(), 0) << program;
    EXPECT_EQ(readFile(help).rfind("usage: dz-demo", 0), 0u) << readFile(help);

    // The argument at fault is named on standard error, above the usage.
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"--quick", "screens"}, "unknown option screens"},
        {{"--quick", "--out"}, "--out needs a folder"},
        {{"--pictures", ""}, "--pictures needs a folder"},
    };
    for (const auto& [arguments, cause] : refused) {
      fs::path errors = sandbox_.root() / "errors.log";
      Child bad("/bin/sh", dz::testing::standardErrorOnly(program, arguments), errors);
      EXPECT_EQ(bad.waitForExit(), 2) << program << ": " << cause;
      EXPECT_EQ(readFile(errors), "dz-demo: " + cause +
                                      "\nusage: dz-demo [--out FOLDER] [--quick] [--pictures "
                                      "FOLDER]\n");
    }
  }
}

TEST_F(DemoTest, ThePhoneProgramChecksItsArgumentsAtStart) {
  fs::path output = sandbox_.root() / "device.log";
  Child bad(DZ_DEVICE_PROGRAM,
            {"--database-url", "not-a-url", "--auth-host", "auth.dz.test:1", "--reply-fd", "3"},
            output);
  EXPECT_EQ(bad.waitForExit(std::chrono::seconds(20)), 2);
  EXPECT_NE(readFile(output).find("--database-url not-a-url is not a database URL"),
            std::string::npos)
      << readFile(output);

  fs::path help = sandbox_.root() / "help.log";
  Child asked(DZ_DEVICE_PROGRAM, {"-h"}, help);
  EXPECT_EQ(asked.waitForExit(), 0);
  for (const char* option : {"--database-url URL", "--auth-host HOST", "--reply-fd N"}) {
    EXPECT_NE(readFile(help).find(std::string("  ") + option), std::string::npos) << option;
  }
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
