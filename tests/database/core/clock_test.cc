#include "database/core/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "database/core/server_values.h"
#include "platform/wall_clock.h"
#include "tests/database/core/fixed_clock.h"

namespace dz::database {
namespace {

using testing::FixedClock;

TEST(ClockTest, SystemClockReadsTheWallClock) {
  double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  double now = SystemClock::clock()->currentTime();
  EXPECT_GE(now, before);
  EXPECT_EQ(SystemClock::clock().get(), SystemClock::clock().get());
}

TEST(ClockTest, SystemClockFollowsTheProcessWallClockHook) {
  platform::setWallClockSource([] { return 1.7e9; });
  double replaced = SystemClock::clock()->currentTime();
  OffsetClock server(nullptr, 5.0);
  double serverTime = server.currentTime();
  platform::setWallClockSource({});
  EXPECT_EQ(replaced, 1.7e9);
  EXPECT_EQ(serverTime, 1.7e9 + 5.0);
}

TEST(ClockTest, OffsetClockReadsAheadOfItsClock) {
  auto base = std::make_shared<FixedClock>(1000.25);
  OffsetClock clock(base, 1.5);
  EXPECT_DOUBLE_EQ(clock.currentTime(), 1001.75);
  EXPECT_EQ(ServerValues::generateServerValues(clock).at("timestamp"), Value(1001750));
  clock.setOffset(-0.2506);
  EXPECT_DOUBLE_EQ(clock.offset(), -0.2506);
  // 999.9994 s is 999999.4 ms: truncated, not rounded.
  EXPECT_EQ(ServerValues::generateServerValues(clock).at("timestamp"), Value(999999));
}

TEST(ClockTest, OffsetMayChangeWhileOtherThreadsRead) {
  auto base = std::make_shared<FixedClock>(100.0);
  OffsetClock clock(base, 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&clock] {
      for (int n = 0; n < 10000; ++n) {
        double t = clock.currentTime();
        ASSERT_TRUE(t == 100.0 || t == 105.0);
      }
    });
  }
  for (int n = 0; n < 10000; ++n) clock.setOffset(n % 2 ? 5.0 : 0.0);
  for (auto& reader : readers) reader.join();
}

}  // namespace
}  // namespace dz::database
