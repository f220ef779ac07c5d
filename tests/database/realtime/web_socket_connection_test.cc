#include "database/realtime/web_socket_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "database/utilities/wire_protocol.h"
#include "platform/bundle.h"
#include "platform/process_info.h"
#include "tests/database/realtime/fake_session_socket.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

using std::chrono::seconds;
using testing::FakeSocketFactory;

struct RecordingSessionDelegate : WebSocketConnectionDelegate {
  void onMessage(WebSocketConnection*, boost::json::value message) override {
    messages.push_back(std::move(message));
  }
  void onDataPush(WebSocketConnection* session, DataPush push) override {
    pushes.push_back(push);
    onMessage(session, dataPushMessage(push));
  }
  void onDisconnect(WebSocketConnection*, bool wasEverConnected) override {
    disconnects.push_back(wasEverConnected);
  }
  std::vector<boost::json::value> messages;
  std::vector<DataPush> pushes;
  std::vector<bool> disconnects;
};

class WebSocketConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repoInfo_ = RepoInfo::create("ns.dz.test", true, "ns");
    makeSession();
  }
  void makeSession(uint64_t maxMessageBytes = websocket::kDefaultMaxMessageBytes) {
    onQueue([&] {
      session_ = WebSocketConnection::create(repoInfo_, queue_, std::string("sess1"),
                                             {scheduler_, sockets_.factory(), maxMessageBytes});
      session_->setDelegate(delegate_);
    });
  }
  void TearDown() override {
    onQueue([&] { session_.reset(); });
  }

  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  // Moves time in one-second steps so that work each tick schedules is timed as it would be.
  void advance(int secondsToAdvance) {
    for (int i = 0; i < secondsToAdvance; ++i) {
      scheduler_->advance(seconds(1));
      onQueue([] {});
    }
  }
  // Opened, with the realtime handshake come.
  void openSession() {
    onQueue([&] {
      session_->open();
      sockets_.last().serverOpens();
      session_->start();
    });
  }
  std::string messageOfLength(size_t length) {
    // {"a":"xxx"} has 8 characters around the x's.
    return boost::json::serialize(boost::json::object{{"a", std::string(length - 8, 'x')}});
  }
  size_t keepAlivesSent() {
    size_t n = 0;
    for (auto& frame : sockets_.last().sent) n += frame == wire::kKeepAliveFrame;
    return n;
  }

  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.work");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  FakeSocketFactory sockets_;
  std::shared_ptr<RecordingSessionDelegate> delegate_ =
      std::make_shared<RecordingSessionDelegate>();
  RepoInfoPtr repoInfo_;
  std::shared_ptr<WebSocketConnection> session_;
};

TEST_F(WebSocketConnectionTest, ConnectsToTheConnectionUrlWithTheUserAgent) {
  auto& request = sockets_.last().request();
  EXPECT_EQ(request.url, "wss://ns.dz.test/.ws?v=5&ns=ns&ls=sess1");
  EXPECT_EQ(request.userAgent, session_->userAgent());
  EXPECT_EQ(request.delegateQueue, queue_);
  EXPECT_EQ(sockets_.last().openCalls, 0);
}

TEST(UserAgentTest, NamesProtocolBuildSystemModelAndBundle) {
  platform::Bundle::main().setInfoValue(platform::kBundleIdentifierKey, "com.example/poll_app");
  std::string agent = databaseUserAgent();
  platform::Bundle::main().setInfoValue(platform::kBundleIdentifierKey, nullptr);
  EXPECT_EQ(agent.rfind("Dezuvura/5/3.1.1_", 0), 0u) << agent;
  EXPECT_NE(agent.find(platform::ProcessInfo::processInfo().operatingSystemVersionString()),
            std::string::npos);
  EXPECT_TRUE(agent.ends_with("_com.example|poll|app")) << agent;
  // The model goes through the same sanitizing ("x86_64" reads "x86|64").
  std::string model = platform::ProcessInfo::processInfo().machineModel();
  std::replace(model.begin(), model.end(), '_', '|');
  std::replace(model.begin(), model.end(), '/', '|');
  EXPECT_TRUE(agent.ends_with("/" + model + "_com.example|poll|app")) << agent;
}

TEST(FramingTest, SplitsAboveTheFrameSizeWithACountInFront) {
  std::string exact(wire::kMaxFrameCharacters, 'a');
  EXPECT_EQ(framesForMessage(exact), std::vector<std::string>{exact});

  std::string longer = exact + "b";
  auto frames = framesForMessage(longer);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], "2");
  EXPECT_EQ(frames[1], exact);
  EXPECT_EQ(frames[2], "b");
}

TEST(FramingTest, NeverCutsACharacterInTwo) {
  // A character outside the BMP (two UTF-16 units) straddling the frame boundary.
  std::string text(wire::kMaxFrameCharacters - 1, 'a');
  text += "\xF0\x9F\x98\x80";
  text += "tail";
  auto frames = framesForMessage(text);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1], std::string(wire::kMaxFrameCharacters - 1, 'a'));
  EXPECT_EQ(frames[2], "\xF0\x9F\x98\x80tail");
}

TEST(FramingTest, RecognisesFrameCounts) {
  EXPECT_EQ(frameCountOf("3"), 3);
  EXPECT_EQ(frameCountOf("1234"), 1234);
  EXPECT_EQ(frameCountOf("12345"), std::nullopt);  // five characters: a message of its own
  EXPECT_EQ(frameCountOf("0"), std::nullopt);
  EXPECT_EQ(frameCountOf("-1"), std::nullopt);
  EXPECT_EQ(frameCountOf("abc"), std::nullopt);
  EXPECT_EQ(frameCountOf(""), std::nullopt);
  EXPECT_EQ(frameCountOf("{}"), std::nullopt);
  // Lengths count UTF-16 code units: a character beyond U+FFFF counts twice.
  EXPECT_EQ(frameCountOf("12\xC3\xA9"), 12);
  EXPECT_EQ(frameCountOf("123\xF0\x9F\x98\x80"), std::nullopt);
}

TEST_F(WebSocketConnectionTest, SendsLongMessagesAsCountedFrames) {
  openSession();
  onQueue([&] {
    session_->send(boost::json::parse(messageOfLength(wire::kMaxFrameCharacters)));
    session_->send(boost::json::parse(messageOfLength(wire::kMaxFrameCharacters + 1)));
  });
  auto& sent = sockets_.last().sent;
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].size(), wire::kMaxFrameCharacters);
  EXPECT_EQ(sent[1], "2");
  EXPECT_EQ(boost::json::parse(sent[2] + sent[3]),
            boost::json::parse(messageOfLength(wire::kMaxFrameCharacters + 1)));
}

TEST_F(WebSocketConnectionTest, JoinsCountedFramesIntoOneMessage) {
  openSession();
  onQueue([&] {
    auto& socket = sockets_.last();
    socket.serverSends("3");
    EXPECT_TRUE(session_->buffering());
    socket.serverSends(R"({"t":"d",)");
    socket.serverSends(R"("d":{"a":)");
    EXPECT_TRUE(delegate_->messages.empty());
    socket.serverSends(R"(1}})");
    EXPECT_FALSE(session_->buffering());
    socket.serverSends(R"({"single":true})");
  });
  ASSERT_EQ(delegate_->messages.size(), 2u);
  EXPECT_EQ(delegate_->messages[0], boost::json::parse(R"({"t":"d","d":{"a":1}})"));
  EXPECT_EQ(delegate_->messages[1], boost::json::parse(R"({"single":true})"));
}

TEST_F(WebSocketConnectionTest, CountedDataPushesAreReadAsTheyArrive) {
  const std::string push = R"({"t":"d","d":{"a":"d","b":{"p":"big","d":{"k":"text","n":12}}}})";
  openSession();
  onQueue([&] {
    auto& socket = sockets_.last();
    // Cut everywhere, before the action is known as well as after.
    for (size_t cut = 1; cut < push.size(); ++cut) {
      socket.serverSends("2");
      socket.serverSends(push.substr(0, cut));
      socket.serverSends(push.substr(cut));
    }
    // Bad text is dropped whole; a merge, and data the pieces cannot settle, take the JSON path.
    for (const std::string& other :
         std::vector<std::string>{push.substr(0, 30) + "]" + push.substr(30),
                                  R"({"t":"d","d":{"a":"m","b":{"p":"a","d":{"x":null}}}})",
                                  R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{".sv":"x"}}}})"}) {
      socket.serverSends("2");
      socket.serverSends(other.substr(0, 20));
      socket.serverSends(other.substr(20));
    }
  });
  size_t cuts = push.size() - 1;
  ASSERT_EQ(delegate_->pushes.size(), cuts);
  for (const DataPush& read : delegate_->pushes) {
    EXPECT_EQ(read.path, "big");
    EXPECT_EQ(SnapshotUtilities::toJsonText(*read.data, true), R"({"k":"text","n":12})");
  }
  ASSERT_EQ(delegate_->messages.size(), cuts + 3);
  EXPECT_TRUE(delegate_->messages[cuts].is_null());
  EXPECT_EQ(delegate_->messages[cuts + 1].at("d").at("a"), "m");
  EXPECT_EQ(delegate_->messages[cuts + 2].at("d").at("b").at("d").at(".sv"), "x");
}

TEST_F(WebSocketConnectionTest, FramesThatAreNoCountAreMessagesOfTheirOwn) {
  openSession();
  onQueue([&] {
    for (const char* frame : {"0", "-1", "abc", "12345", "not json {", "[1,2]", "\"text\""}) {
      sockets_.last().serverSends(frame);
    }
  });
  ASSERT_EQ(delegate_->messages.size(), 7u);
  for (size_t i : {0u, 1u, 2u, 3u, 4u, 6u}) EXPECT_TRUE(delegate_->messages[i].is_null()) << i;
  EXPECT_TRUE(delegate_->messages[5].is_array());
  EXPECT_FALSE(session_->buffering());
}

TEST_F(WebSocketConnectionTest, ParsesDeeplyNestedServerData) {
  openSession();
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += R"({"a":)";
  deep += "1";
  deep += std::string(1000, '}');
  onQueue([&] { sockets_.last().serverSends(deep); });
  ASSERT_EQ(delegate_->messages.size(), 1u);
  EXPECT_TRUE(delegate_->messages[0].is_object());
}

TEST_F(WebSocketConnectionTest, ReadsServerNumbersExactly) {
  // A text that a plain Boost.JSON 1.81 parse reads one unit in the last place off.
  openSession();
  onQueue([&] { sockets_.last().serverSends(R"({"v":-1.774571493258161E-296})"); });
  ASSERT_EQ(delegate_->messages.size(), 1u);
  EXPECT_EQ(delegate_->messages[0].at("v").as_double(), -1.774571493258161E-296);
}

TEST_F(WebSocketConnectionTest, SendsKeepAliveAfterFortyFiveIdleSeconds) {
  openSession();
  advance(44);
  EXPECT_EQ(keepAlivesSent(), 0u);
  advance(1);
  EXPECT_EQ(keepAlivesSent(), 1u);
  advance(45);
  EXPECT_EQ(keepAlivesSent(), 2u);
}

TEST_F(WebSocketConnectionTest, TrafficEveryThirtySecondsKeepsTheKeepAliveQuiet) {
  openSession();
  for (int i = 0; i < 6; ++i) {
    advance(30);
    onQueue([&] {
      if (i % 2) {
        sockets_.last().serverSends("{}");
      } else {
        session_->send(boost::json::object{{"x", i}});
      }
    });
  }
  EXPECT_EQ(keepAlivesSent(), 0u);
  // After the last frame the first keep-alive follows within 40 to 45 seconds.
  advance(39);
  EXPECT_EQ(keepAlivesSent(), 0u);
  advance(6);
  EXPECT_EQ(keepAlivesSent(), 1u);
}

TEST_F(WebSocketConnectionTest, ClosesASocketThatDoesNotOpenInThirtySeconds) {
  onQueue([&] { session_->open(); });
  advance(29);
  EXPECT_EQ(sockets_.last().closeCalls, 0);
  advance(1);
  EXPECT_EQ(sockets_.last().closeCalls, 1);
  EXPECT_EQ(delegate_->disconnects, std::vector<bool>{false});
  // The socket's own report of the close that follows is not a second end.
  onQueue([&] { sockets_.last().serverCloses(); });
  EXPECT_EQ(delegate_->disconnects.size(), 1u);
}

TEST_F(WebSocketConnectionTest, ConnectCheckLeavesASessionWithItsHandshakeAlone) {
  openSession();
  advance(31);
  EXPECT_EQ(sockets_.last().closeCalls, 0);
  EXPECT_TRUE(delegate_->disconnects.empty());
}

TEST_F(WebSocketConnectionTest, ClosesAnOpenSocketWhoseHandshakeDoesNotComeInThirtySeconds) {
  onQueue([&] { session_->open(); });
  advance(10);
  onQueue([&] { sockets_.last().serverOpens(); });
  advance(19);
  EXPECT_EQ(sockets_.last().closeCalls, 0);
  advance(1);
  EXPECT_EQ(sockets_.last().closeCalls, 1);
  EXPECT_EQ(delegate_->disconnects, std::vector<bool>{true});
}

TEST_F(WebSocketConnectionTest, ClosesWhenCountedFramesExceedTheMessageLimit) {
  makeSession(100);
  EXPECT_EQ(sockets_.last().request().maxMessageBytes, 100u);
  openSession();
  onQueue([&] {
    auto& socket = sockets_.last();
    socket.serverSends("2");
    socket.serverSends(R"({"a":")" + std::string(40, 'x'));
    socket.serverSends(std::string(40, 'x') + R"("})");  // 88 bytes: still within
    socket.serverSends("9999");
    for (int i = 0; i < 5; ++i) socket.serverSends(std::string(30, 'y'));
  });
  EXPECT_EQ(delegate_->messages.size(), 1u);
  EXPECT_EQ(sockets_.last().closeCalls, 1);
  EXPECT_EQ(delegate_->disconnects, std::vector<bool>{true});
  EXPECT_FALSE(session_->buffering());
}

TEST_F(WebSocketConnectionTest, ReportsTheServersCloseOnce) {
  openSession();
  onQueue([&] {
    sockets_.last().serverCloses();
    sockets_.last().fails();
  });
  EXPECT_EQ(delegate_->disconnects, std::vector<bool>{true});
  // No keep-alive after the end.
  advance(50);
  EXPECT_EQ(keepAlivesSent(), 0u);
}

TEST_F(WebSocketConnectionTest, AFailureBeforeOpeningReportsNeverConnected) {
  onQueue([&] {
    session_->open();
    sockets_.last().fails();
  });
  EXPECT_EQ(delegate_->disconnects, std::vector<bool>{false});
}

TEST_F(WebSocketConnectionTest, ClosedByItsOwnerReportsNothing) {
  openSession();
  onQueue([&] {
    session_->close();
    sockets_.last().serverSends("{}");
    sockets_.last().serverCloses();
  });
  EXPECT_EQ(sockets_.last().closeCalls, 1);
  EXPECT_TRUE(delegate_->disconnects.empty());
  EXPECT_TRUE(delegate_->messages.empty());
  advance(50);
  EXPECT_EQ(keepAlivesSent(), 0u);
}

}  // namespace
}  // namespace dz::database
