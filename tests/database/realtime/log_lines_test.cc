// The realtime connection's and the WebSocket session's log lines: codes and texts.
#include <gtest/gtest.h>

#include <regex>

#include "core/logger.h"
#include "database/realtime/connection.h"
#include "database/utilities/logging.h"
#include "database/utilities/repo_info.h"
#include "platform/process_info.h"
#include "tests/database/realtime/fake_session_socket.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

using std::chrono::seconds;
using testing::FakeSocketFactory;

struct QuietDelegate : ConnectionDelegate {
  void onReady(RealtimeConnection*, double, const std::string&) override {}
  void onDataMessage(RealtimeConnection*, ServerMessage) override {}
  void onDisconnect(RealtimeConnection*, ConnectionCloseReason) override {}
  void onKill(RealtimeConnection*, const std::string&) override {}
};

class RealtimeLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedArguments_ = platform::ProcessInfo::processInfo().arguments();
    platform::ProcessInfo::processInfo().setArguments({"tests", "-DZDebugEnabled"});
    setLoggingEnabled(true);
    repoInfo_ = RepoInfo::create("ns.dz.test", true, "ns");
  }
  void TearDown() override {
    onQueue([&] { connection_.reset(); });
    setLoggingEnabled(false);
    platform::ProcessInfo::processInfo().setArguments(savedArguments_);
  }
  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  void openConnection() {
    onQueue([&] {
      auto factory = Connection::factory({scheduler_, sockets_.factory()});
      connection_ = std::dynamic_pointer_cast<Connection>(
          factory(repoInfo_, queue_, std::nullopt, delegate_));
      connection_->open();
    });
  }
  void serverSends(const std::string& text) {
    onQueue([&] { sockets_.last().serverSends(text); });
  }
  void handshake() {
    onQueue([&] { sockets_.last().serverOpens(); });
    serverSends(R"({"t":"c","d":{"t":"h","d":{"ts":1700000000000,"h":"ns-2.dz.test","s":"s1"}}})");
  }
  // One whole line "[Dezuvura/Database][<code>] <message>"; `message` is a regular expression.
  static void expectLine(const std::string& text, const std::string& code,
                         const std::string& message) {
    std::regex pattern("(^|\\n)\\[Dezuvura/Database\\]\\[" + code + "\\] " + message + "\\n");
    EXPECT_TRUE(std::regex_search(text, pattern)) << code << " " << message;
  }

  std::vector<std::string> savedArguments_;
  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.work");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  FakeSocketFactory sockets_;
  std::shared_ptr<QuietDelegate> delegate_ = std::make_shared<QuietDelegate>();
  RepoInfoPtr repoInfo_;
  std::shared_ptr<Connection> connection_;
};

TEST_F(RealtimeLogTest, AnOpenSessionLogsItsTraffic) {
  dz::testing::StderrCapture capture(core::flushLog);
  openConnection();
  handshake();
  onQueue([&] {
    connection_->sendRequest(Request{1, "auth", {.credential = "secret-token"}}, true);
    connection_->sendRequest(Request{2, "q", {.path = "/x"}}, false);
    sockets_.last().serverSends("2");
    sockets_.last().serverSends(R"({"t":"d","d":{"r":2,)");
    sockets_.last().serverSends(R"("b":{"s":"ok"}}})");
    sockets_.last().serverSends(R"({"t":"x"})");
    sockets_.last().serverSends(R"({"d":1})");
    sockets_.last().serverSends(R"({"t":"c","d":{"t":"zz"}})");
  });
  for (int i = 0; i < 45; ++i) scheduler_->advance(seconds(1));
  onQueue([] {});
  serverSends(R"({"t":"c","d":{"t":"r","d":"ns-3.dz.test"}})");
  std::string text = capture.text();

  expectLine(text, "I-RDB08301",
             R"(\(wsc:\d+\) Connecting to: wss://ns\.dz\.test/\.ws\?v=5&ns=ns as Dezuvura/5/.+)");
  expectLine(text, "I-RDB08201", "Calling open in DConnection");
  expectLine(text, "I-RDB08302", R"(\(wsc:\d+\) DWebSocketConnection open\.)");
  expectLine(text, "I-RDB08308", R"(\(wsc:\d+\) webSocketDidOpen)");
  expectLine(text, "I-RDB08309", R"(\(wsc:\d+\) nop timer kicked off)");
  expectLine(text, "I-RDB08211", R"(Got control message: \{"t":"h",.*\})");
  expectLine(text, "I-RDB08214", "Realtime connection established");
  expectLine(text, "I-RDB08204", R"(Sending data \(contents hidden\))");
  expectLine(text, "I-RDB08205", R"(Sending: \{"t":"d","d":\{"r":2,"a":"q","b":\{"p":"/x"\}\}\})");
  expectLine(text, "I-RDB08306", R"(\(wsc:\d+\) handleNewFrameCount: 2)");
  expectLine(text, "I-RDB08307", R"(\(wsc:\d+\) handleIncomingFrame sending complete frame: \d+)");
  expectLine(text, "I-RDB08210", R"(Got data message: \{"r":2,"b":\{"s":"ok"\}\})");
  expectLine(text, "I-RDB08208", R"(Unrecognized server packet type: "x")");
  expectLine(text, "I-RDB08209", R"(Unrecognized raw server packet received: \{"d":1\})");
  expectLine(text, "I-RDB08212", R"(Unknown control message returned from server: \{"t":"zz"\})");
  expectLine(text, "I-RDB08304", R"(\(wsc:\d+\) nop)");
  expectLine(text, "I-RDB08215",
             "Got a reset; killing connection to: ns-2\\.dz\\.test; Updating internalHost to: "
             "ns-3\\.dz\\.test");
  expectLine(text, "I-RDB08202", R"(Closing realtime connection\.)");
  expectLine(text, "I-RDB08203", R"(Calling close again\.)");
  expectLine(text, "I-RDB08303", R"(\(wsc:\d+\) DWebSocketConnection is being closed\.)");
  EXPECT_EQ(text.find("secret-token"), std::string::npos);
}

TEST_F(RealtimeLogTest, EndsOfASessionAreLogged) {
  dz::testing::StderrCapture capture(core::flushLog);
  openConnection();
  for (int i = 0; i < 30; ++i) scheduler_->advance(seconds(1));
  onQueue([] {});
  openConnection();
  handshake();
  onQueue([&] { sockets_.last().serverCloses(1001); });
  std::string text = capture.text();

  expectLine(text, "I-RDB08312", R"(\(wsc:\d+\) Websocket timed out on connect)");
  expectLine(text, "I-RDB08313", "Websocket is closing itself");
  expectLine(text, "I-RDB08206", R"(Realtime connection failed\.)");
  expectLine(text, "I-RDB08311", R"(\(wsc:\d+\) didCloseWithCode: 1001 bye)");
  expectLine(text, "I-RDB08207", R"(Realtime connection lost\.)");
}

}  // namespace
}  // namespace dz::database
