#include "platform/wall_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace dz::platform {
namespace {

double systemSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class WallClockTest : public ::testing::Test {
 protected:
  void TearDown() override { setWallClockSource({}); }
};

TEST_F(WallClockTest, ReadsTheSystemClockUntilReplacedAndAgainOnceRestored) {
  double before = systemSeconds();
  double now = wallClockSeconds();
  EXPECT_GE(now, before);
  EXPECT_LE(now, systemSeconds());

  double fake = 1.7e9;
  setWallClockSource([&] { return fake; });
  EXPECT_EQ(wallClockSeconds(), 1.7e9);
  fake += 3600.5;
  EXPECT_EQ(wallClockSeconds(), 1.7e9 + 3600.5);

  setWallClockSource({});
  before = systemSeconds();
  EXPECT_GE(wallClockSeconds(), before);
}

TEST_F(WallClockTest, ReplacingWhileOtherThreadsReadIsSafe) {
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([] {
      for (int read = 0; read < 2000; ++read) {
        double now = wallClockSeconds();
        // Either the replacement or the real clock, never anything torn.
        EXPECT_TRUE(now == 42.0 || now > 1.5e9) << now;
      }
    });
  }
  for (int swap = 0; swap < 200; ++swap) {
    setWallClockSource([] { return 42.0; });
    setWallClockSource({});
  }
  for (auto& reader : readers) reader.join();
}

}  // namespace
}  // namespace dz::platform
