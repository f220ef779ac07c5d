// The way tests run programs and wait for their files (tests/support/child_process.h).
#include "tests/support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <thread>

#include "tests/support/sandbox.h"

namespace dz::testing {
namespace {

TEST(ChildProcessTest, AChildsOutputIsWaitedForInItsFileAndItsStatusComesBack) {
  ScopedSandbox sandbox;
  auto output = sandbox.root() / "out.log";
  Child child("/bin/sh", {"-c", "echo one; echo two >&2; exec sleep 600"}, output);
  auto text = waitForFile(
      output, [](const std::string& written) { return written.find("two") != std::string::npos; });
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "one\ntwo\n");
  EXPECT_EQ(waitForFile(sandbox.root() / "never", nullptr, std::chrono::milliseconds(50)),
            std::nullopt);

  EXPECT_EQ(child.waitForExit(std::chrono::milliseconds(0)), std::nullopt);  // still sleeping
  ASSERT_TRUE(child.signal(SIGTERM));
  EXPECT_EQ(child.waitForExit(), std::nullopt);  // ended by a signal: no status
  EXPECT_EQ(child.pid(), -1);

  Child exits("/bin/sh", {"-c", "exit 3"}, sandbox.root() / "exits.log");
  EXPECT_EQ(exits.waitForExit(), 3);
  Child missing(sandbox.root() / "no-such-program", {}, sandbox.root() / "missing.log");
  EXPECT_EQ(missing.waitForExit(), 127);
}

TEST(ChildProcessTest, AChildThatDiesWithItsParentEndsWithTheThreadThatStartedIt) {
  ScopedSandbox sandbox;
  std::unique_ptr<Child> child;
  auto output = sandbox.root() / "sleep.log";
  std::thread starter([&] {
    child = std::make_unique<Child>("/bin/sh",
                                    std::vector<std::string>{"-c", "echo up; exec sleep 600"},
                                    output, std::vector<std::string>{}, /*diesWithParent=*/true);
    // Up and running: the thread may end now.
    waitForFile(output, [](const std::string& text) { return !text.empty(); });
  });
  starter.join();
  ASSERT_GT(child->pid(), 0);
  EXPECT_EQ(child->waitForExit(), std::nullopt);  // killed, long before its 600 seconds
  EXPECT_EQ(child->pid(), -1);
}

}  // namespace
}  // namespace dz::testing
