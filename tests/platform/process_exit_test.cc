#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/bundle.h"
#include "platform/dispatch_queue.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "tests/support/sandbox.h"
#include "tests/support/scoped_environment.h"

namespace dz::platform {
namespace {

// Handed from the test to its death-test child, which runs the test body again: the child reuses
// the parent's sandbox instead of making one that nobody would remove.
constexpr char kInheritedHome[] = "DZ_EXIT_TEST_HOME";

// What a library task may touch at any moment, the process's singletons above all.
void useTheSingletons() {
  const Value settings(Value::Map{{"present", Value(1)}});
  if (!settings["absent"].isNull()) std::_Exit(3);
  UserDefaults::standard()->boolForKey("flag");
  NotificationCenter::defaultCenter().post("ExitTestNotification");
  Bundle::main().bundleIdentifier();
  Keychain::standard()->copyMatching({"account", std::nullopt});
}

// Static destructors run at exit while other threads still work: everything those threads may
// reach must outlive them, or exit turns into a use after free.
TEST(ProcessExitTest, ExitingWhileThreadsAndQueuesStillWorkIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::optional<dz::testing::ScopedSandbox> sandbox;
  std::optional<dz::testing::ScopedEnvironment> home;
  if (const char* inherited = std::getenv(kInheritedHome)) {
    FileManager::setSandboxRoot(inherited);
  } else {
    sandbox.emplace();
    home.emplace(kInheritedHome, sandbox->root().c_str());
    useTheSingletons();  // makes the folders, so the child only reads
  }
  EXPECT_EXIT(
      {
        std::atomic<int> started{0};
        for (int i = 0; i < 4; ++i) {
          std::thread([&started] {
            ++started;
            for (;;) useTheSingletons();
          }).detach();
          auto queue = DispatchQueue::create("busy at exit");
          for (int task = 0; task < 10000; ++task) queue->async(useTheSingletons);
        }
        while (started < 4) std::this_thread::yield();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dz::platform
