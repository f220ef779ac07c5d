#include "core/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/process_info.h"
#include "platform/user_defaults.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/sandbox.h"

namespace dz::core {
namespace {

constexpr char kDebugModeKey[] = "/vivuro/dezuvura/debug_mode";

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ProcessInfo::processInfo().setArguments({"tests"}); }
  void TearDown() override { platform::ProcessInfo::processInfo().setArguments({}); }

  testing::ScopedSandbox sandbox_;
};

TEST_F(LoggerTest, LineIsTagBracketedCodeBlankMessage) {
  testing::StderrCapture capture(flushLog);
  logError("[Dezuvura/Core]", "I-COR000003", "first");
  logWarning("[Dezuvura/Database]", "I-RDB03401", "second");
  EXPECT_EQ(capture.text(),
            "[Dezuvura/Core][I-COR000003] first\n[Dezuvura/Database][I-RDB03401] second\n");
}

TEST_F(LoggerTest, MessagesAreNeverFormatStrings) {
  testing::StderrCapture capture(flushLog);
  logError("[T]", "authentication", "%s %n %@ %%");
  EXPECT_EQ(capture.text(), "[T][authentication] %s %n %@ %%\n");
}

TEST_F(LoggerTest, TextFromElsewhereCannotForgeFurtherLines) {
  testing::StderrCapture capture(flushLog);
  logError("[T]", "C", "server said: bad\n[Dezuvura/Core][I-COR000003] forged\r");
  EXPECT_EQ(capture.text(), "[T][C] server said: bad [Dezuvura/Core][I-COR000003] forged \n");
}

TEST_F(LoggerTest, LinesFromManyThreadsStayWholeAndInPerThreadOrder) {
  testing::StderrCapture capture(flushLog);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        logError("[T]", "C", std::to_string(t) + ":" + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::string text = capture.text();
  std::vector<int> next(4, 0);
  size_t start = 0;
  int lines = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    ASSERT_EQ(line.rfind("[T][C] ", 0), 0u) << line;
    int thread = line[7] - '0';
    EXPECT_EQ(line.substr(9), std::to_string(next[thread]++));
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 200);
}

TEST_F(LoggerTest, DebugAndInfoLinesOnlyInDebugMode) {
  ASSERT_FALSE(platform::ProcessInfo::processInfo().isDebuggerAttached());
  {
    testing::StderrCapture capture(flushLog);
    EXPECT_FALSE(isDebugLoggingEnabled());
    logDebug("[T]", "C", "hidden debug");
    logInfo("[T]", "C", "hidden info");
    logError("[T]", "C", "shown");
    EXPECT_EQ(capture.text(), "[T][C] shown\n");
  }
  platform::UserDefaults::standard()->setBool(true, kDebugModeKey);
  {
    testing::StderrCapture capture(flushLog);
    EXPECT_TRUE(isDebugLoggingEnabled());
    logDebug("[T]", "C", "debug");
    logInfo("[T]", "C", "info");
    EXPECT_EQ(capture.text(), "[T][C] debug\n[T][C] info\n");
  }
}

TEST_F(LoggerTest, LaunchArgumentsSwitchDebugMode) {
  platform::ProcessInfo::processInfo().setArguments({"tests", "-DZDebugEnabled"});
  EXPECT_TRUE(isDebugLoggingEnabled());

  platform::UserDefaults::standard()->setBool(true, kDebugModeKey);
  platform::ProcessInfo::processInfo().setArguments({"tests", "-DZDebugDisabled"});
  EXPECT_FALSE(isDebugLoggingEnabled());
  platform::ProcessInfo::processInfo().setArguments(
      {"tests", "-DZDebugEnabled", "-DZDebugDisabled"});
  EXPECT_FALSE(isDebugLoggingEnabled());

  platform::ProcessInfo::processInfo().setArguments({"tests"});
  EXPECT_TRUE(isDebugLoggingEnabled());
}

}  // namespace
}  // namespace dz::core
