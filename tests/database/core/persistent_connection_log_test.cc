// The persistent connection's and the backoff's log lines: their codes, levels and texts, which
// support staff search for.
#include <gtest/gtest.h>

#include "core/logger.h"
#include "database/utilities/logging.h"
#include "platform/process_info.h"
#include "tests/database/core/persistent_connection_fixture.h"
#include "tests/support/capture_stderr.h"

namespace dz::database::testing {
namespace {

using std::chrono::seconds;

class PersistentConnectionLogTest : public PersistentConnectionTest {
 protected:
  void SetUp() override {
    savedArguments_ = platform::ProcessInfo::processInfo().arguments();
    platform::ProcessInfo::processInfo().setArguments({"tests", "-DZDebugEnabled"});
    setLoggingEnabled(true);
    PersistentConnectionTest::SetUp();
  }
  void TearDown() override {
    PersistentConnectionTest::TearDown();
    setLoggingEnabled(false);
    platform::ProcessInfo::processInfo().setArguments(savedArguments_);
  }
  static std::string line(const std::string& code, const std::string& message) {
    return "[Dezuvura/Database][" + code + "] " + message + "\n";
  }

  std::vector<std::string> savedArguments_;
};

TEST_F(PersistentConnectionLogTest, ConnectionLifecycleLinesCarryTheirCodes) {
  dz::testing::StderrCapture capture(core::flushLog);
  onQueue([&] { connection_->putData(valueNode(1), "/offline", std::nullopt, nullptr); });
  connectOnline();
  onQueue([&] {
    connection_->listen(QuerySpec::defaultQueryAtPath(Path("/l")), std::nullopt, nullptr, nullptr);
    realtime().reply(realtime().lastNumberOf("q"), "ok");
    connection_->putData(valueNode(2), "/online", std::nullopt, nullptr);
    realtime().push("sd", R"({"msg":"rule one\nrule two"})");
    realtime().push("zz", "{}");
    realtime().drop();
  });
  advance(seconds(1));
  onQueue([&] { realtime().kill("bye"); });
  std::string text = capture.text();

  for (const std::string& expected : {
           line("I-RDB03425",
                "Wasn't connected or writes paused, so added to outstanding puts only. Path: "
                "/offline"),
           line("I-RDB03407", "Connection no longer interrupted for: waiting_for_open"),
           line("I-RDB03408", "Scheduling connection attempt"),
           line("I-RDB03409", "Trying to fetch auth token"),
           line("I-RDB03411", "Successfully fetched token, opening connection"),
           line("I-RDB03403", "On ready"),
           line("I-RDB03444", "Sending first connection stats"),
           line("I-RDB03433", "Calling restore state"),
           line("I-RDB03435", "Restoring auth"),
           line("I-RDB03437", "Restoring put: 0"),
           line("I-RDB03424", "Was connected, and added as index: 2"),
           line("I-RDB03431", "rule one"),
           line("I-RDB03431", "rule two"),
           line("I-RDB03432", "Unsupported action from server: zz"),
           line("I-RDB03404", "Got on disconnect due to other"),
           line("I-RDB05402", "Scheduling retry in 0.300000s"),
           line("I-RDB03405",
                "Dezuvura Database connection was forcefully killed by the server.  Will not "
                "attempt reconnect. Reason: bye"),
           line("I-RDB03406", "Connection interrupted for: server_kill"),
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }
  EXPECT_NE(text.find("[Dezuvura/Database][I-RDB03401] Listen called for "), std::string::npos);
  EXPECT_NE(text.find("[Dezuvura/Database][I-RDB03426] Listen for "), std::string::npos);
  EXPECT_NE(text.find("[Dezuvura/Database][I-RDB03427] Listen response "), std::string::npos);
  EXPECT_NE(text.find(line("I-RDB03441", "Handling timestamp: 1700000000000")), std::string::npos);
  // The token is sensitive: it never reaches the log.
  EXPECT_EQ(text.find("token-1"), std::string::npos);
}

TEST_F(PersistentConnectionLogTest, AuthFailuresLogAtTheirLevels) {
  connectOnline();
  dz::testing::StderrCapture capture(core::flushLog);
  onQueue([&] { realtime().push("ac", R"({"s":"expired_token","d":"old"})"); });
  advance(seconds(1));
  onQueue([&] { realtime().ready(); });
  onQueue([&] { realtime().reply(realtime().lastNumberOf("auth"), "invalid_token", "bad"); });
  std::string text = capture.text();
  EXPECT_NE(text.find(line("I-RDB03419", "Auth token revoked: expired_token (old)")),
            std::string::npos);
  EXPECT_NE(text.find(line("I-RDB03418", "Authentication failed: invalid_token (bad)")),
            std::string::npos);
}

}  // namespace
}  // namespace dz::database::testing
