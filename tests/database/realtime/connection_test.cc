#include "database/realtime/connection.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "database/realtime/message_decoder.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/repo_info.h"
#include "platform/exception.h"
#include "tests/database/realtime/fake_session_socket.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

using testing::FakeSocketFactory;

struct RecordingDelegate : ConnectionDelegate {
  void onReady(RealtimeConnection*, double timestamp, const std::string& sessionId) override {
    events.push_back("ready " + std::to_string(static_cast<int64_t>(timestamp)) + " " + sessionId);
  }
  void onDataMessage(RealtimeConnection*, ServerMessage message) override {
    messages.push_back(message);
    const auto* reply = std::get_if<Reply>(&message);
    events.push_back(reply ? "reply " + std::to_string(reply->requestNumber) + " " + reply->status +
                                 " " + reply->data.value_or("")
                           : "message " + std::to_string(message.index()));
  }
  void onDisconnect(RealtimeConnection*, ConnectionCloseReason reason) override {
    events.push_back("disconnect " + std::to_string(static_cast<int>(reason)));
  }
  void onKill(RealtimeConnection*, const std::string& reason) override {
    events.push_back("kill " + reason);
  }
  std::vector<std::string> events;
  std::vector<ServerMessage> messages;
};

// What a data message was read as: its kind, and the path, tag and data of a data push.
std::string readingOf(const ServerMessage& message) {
  std::string reading = std::to_string(message.index());
  if (const auto* push = std::get_if<DataPush>(&message)) {
    reading += " " + push->path + " " + (push->tag ? std::to_string(*push->tag) : "-") + " " +
               SnapshotUtilities::toJsonText(*push->data, true);
  }
  return reading;
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repoInfo_ = RepoInfo::create("ns.dz.test", true, "ns");
    onQueue([&] {
      auto factory = Connection::factory({scheduler_, sockets_.factory()});
      connection_ = std::dynamic_pointer_cast<Connection>(
          factory(repoInfo_, queue_, std::nullopt, delegate_));
      connection_->open();
    });
  }
  void TearDown() override {
    onQueue([&] { connection_.reset(); });
  }
  void onQueue(const std::function<void()>& task) { queue_->sync(task); }
  void serverSends(const std::string& text) {
    onQueue([&] { sockets_.last().serverSends(text); });
  }
  void handshake(const std::string& host = "ns-2.dz.test") {
    onQueue([&] { sockets_.last().serverOpens(); });
    serverSends(R"({"t":"c","d":{"t":"h","d":{"ts":1700000000000,"v":"5","h":")" + host +
                R"(","s":"session-1"}}})");
  }
  std::vector<std::string>& events() { return delegate_->events; }
  // How the connection reads a data message sent whole, then in two counted frames.
  std::pair<std::string, std::string> readingsOf(const std::string& text) {
    const size_t before = delegate_->messages.size();
    serverSends(text);
    serverSends("2");
    serverSends(text.substr(0, text.size() / 2));
    serverSends(text.substr(text.size() / 2));
    const auto& messages = delegate_->messages;
    if (messages.size() != before + 2) return {};
    return {readingOf(messages[before]), readingOf(messages[before + 1])};
  }

  dz::testing::ScopedSandbox sandbox_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::create("test.work");
  std::shared_ptr<platform::ManualScheduler> scheduler_ = platform::ManualScheduler::create();
  FakeSocketFactory sockets_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  RepoInfoPtr repoInfo_;
  std::shared_ptr<Connection> connection_;
};

TEST_F(ConnectionTest, HandshakeMakesTheConnectionReadyOnce) {
  EXPECT_EQ(sockets_.last().openCalls, 1);
  handshake();
  EXPECT_EQ(connection_->state(), Connection::State::Open);
  EXPECT_EQ(events(), std::vector<std::string>{"ready 1700000000000 session-1"});
  EXPECT_EQ(repoInfo_->internalHost(), "ns-2.dz.test");

  // A second handshake only moves the internal host.
  serverSends(R"({"t":"c","d":{"t":"h","d":{"ts":1,"h":"ns-3.dz.test","s":"other"}}})");
  EXPECT_EQ(events().size(), 1u);
  EXPECT_EQ(repoInfo_->internalHost(), "ns-3.dz.test");
}

TEST_F(ConnectionTest, WrapsRequestsInTheDataEnvelope) {
  handshake();
  onQueue([&] { connection_->sendRequest(Request{1, "q", {.path = "/a"}}, false); });
  ASSERT_EQ(sockets_.last().sent.size(), 1u);
  EXPECT_EQ(boost::json::parse(sockets_.last().sent[0]),
            boost::json::parse(R"({"t":"d","d":{"r":1,"a":"q","b":{"p":"/a"}}})"));
}

TEST_F(ConnectionTest, SendingBeforeTheHandshakeIsAProgrammingError) {
  onQueue([&] {
    try {
      connection_->sendRequest(Request{1, "q", {}}, false);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), "InvalidConnectionState");
      EXPECT_EQ(e.reason(), "Tried to send data on an unconnected DConnection");
    }
  });
}

TEST_F(ConnectionTest, PassesDataMessagesOn) {
  handshake();
  serverSends(R"({"t":"d","d":{"r":1,"b":{"s":"no","d":{}}}})");
  ASSERT_EQ(events().size(), 2u);
  EXPECT_EQ(events()[1], "reply 1 no {}");
}

TEST_F(ConnectionTest, IgnoresMessagesItCannotRead) {
  handshake();
  for (const char* text :
       {R"({"d":{}})", R"([1,2,3])", R"({"t":"x","d":{}})", R"({"t":"d","d":[1]})",
        R"({"t":"d","d":"text"})", R"({"t":"d"})", R"({"t":7,"d":{}})",
        R"({"t":"c","d":{"t":"zz"}})", R"({"t":"c","d":5})", "garbage"}) {
    serverSends(text);
  }
  EXPECT_EQ(events().size(), 1u);
  EXPECT_EQ(connection_->state(), Connection::State::Open);
}

// Whole or in counted frames, a data message is read as the decoder reads it: the reader of plain
// pushes takes only what the decoder reads as that push, as written (no null members, no
// {".value": x} in place of x), and leaves the rest to it.
TEST_F(ConnectionTest, DataMessagesAreReadAsTheDecoderReadsThem) {
  handshake();
  const std::string texts[] = {
      R"({"t":"d","d":{"a":"d","b":{"p":{".value":""},"d":1}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":{".value":5}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":{}}}})",
      R"({"t":"d","d":{"a":{".value":"d",".priority":1},"b":{"p":"a","d":1}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{"x":1}},"r":null}})",
      R"({"t":"d","d":{"a":"d","error":null,"b":{"p":"a","d":{"x":1}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1},"r":[]}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,".priority":null}}})",
      // pushes the reader takes
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{".value":1,".priority":2},"t":3}}})",
      R"({"d":{"b":{"d":[1,null,{"x":{}}],"p":"l"},"a":"d"},"t":"d"})",
  };
  for (const std::string& text : texts) {
    const std::string decoded =
        readingOf(decodeServerMessage(boost::json::parse(text).at("d").as_object()));
    EXPECT_EQ(readingsOf(text), std::make_pair(decoded, decoded)) << text;
  }
}

// Data at a priority key is a priority; a merge writes below its location. Anything else is
// dropped, however the message arrives.
TEST_F(ConnectionTest, PushesThatWouldStoreWhatDataRefusesAreDropped) {
  handshake();
  const std::string refused = std::to_string(ServerMessage(RefusedMessage{}).index());
  for (const char* text : {
           R"({"t":"d","d":{"a":"d","b":{"p":"/a/.priority","d":{"x":1}}}})",
           R"({"t":"d","d":{"a":"rm","b":{"p":"/a/.priority","d":[{"m":{"x":1}}]}}})",
           R"({"t":"d","d":{"a":"m","b":{"p":"/x","d":{"":1,"k":2}}}})",
           R"({"t":"d","d":{"a":"m","b":{"p":"/x","d":{"k":2,"/":{"y":1}}}}})",
       }) {
    EXPECT_EQ(readingsOf(text), std::make_pair(refused, refused)) << text;
  }
  const std::string kept = readingOf(DataPush{"/a/.priority", 4, SnapshotUtilities::nodeFrom("p")});
  EXPECT_EQ(readingsOf(R"({"t":"d","d":{"a":"d","b":{"p":"/a/.priority","d":"p","t":4}}})"),
            std::make_pair(kept, kept));
}

TEST_F(ConnectionTest, AMalformedHandshakeClosesTheConnection) {
  onQueue([&] { sockets_.last().serverOpens(); });
  serverSends(R"({"t":"c","d":{"t":"h","d":{"h":"ns.dz.test","s":"x"}}})");
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
  EXPECT_EQ(connection_->state(), Connection::State::Closed);
  EXPECT_EQ(sockets_.last().closeCalls, 1);
}

TEST_F(ConnectionTest, AHandshakeWithoutANumericServerTimeClosesTheConnection) {
  onQueue([&] { sockets_.last().serverOpens(); });
  serverSends(R"({"t":"c","d":{"t":"h","d":{"ts":"1700000000000","h":"ns.dz.test","s":"x"}}})");
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
  EXPECT_EQ(connection_->state(), Connection::State::Closed);
}

TEST_F(ConnectionTest, AHandshakeNamingAnUnusableHostClosesTheConnection) {
  onQueue([&] { sockets_.last().serverOpens(); });
  serverSends(R"({"t":"c","d":{"t":"h","d":{"ts":1,"h":"evil.test/path?x=","s":"x"}}})");
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
  EXPECT_EQ(repoInfo_->internalHost(), "ns.dz.test");
}

TEST_F(ConnectionTest, ResetRedirectsAndReportsAServerReset) {
  handshake();
  serverSends(R"({"t":"c","d":{"t":"r","d":"ns-9.dz.test"}})");
  EXPECT_EQ(events().back(), "disconnect 0");
  EXPECT_EQ(repoInfo_->internalHost(), "ns-9.dz.test");
  // The redirect is cached for the next connection and the next launch.
  EXPECT_EQ(RepoInfo::create("ns.dz.test", true, "ns")->internalHost(), "ns-9.dz.test");
  EXPECT_EQ(repoInfo_->connectionURL(), "wss://ns-9.dz.test/.ws?v=5&ns=ns");
}

TEST_F(ConnectionTest, ShutdownReportsTheKillThenTheDisconnect) {
  handshake();
  serverSends(R"({"t":"c","d":{"t":"s","d":"database disabled"}})");
  EXPECT_EQ(events(), (std::vector<std::string>{"ready 1700000000000 session-1",
                                                "kill database disabled", "disconnect 1"}));
  // Whatever the server sends afterwards is not reported.
  serverSends(R"({"t":"d","d":{"a":"d","b":{}}})");
  EXPECT_EQ(events().size(), 3u);
}

TEST_F(ConnectionTest, ClosingReportsOneDisconnect) {
  onQueue([&] {
    connection_->close();
    connection_->close();
    connection_->closeWithReason(ConnectionCloseReason::ServerReset);
  });
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
  EXPECT_EQ(sockets_.last().closeCalls, 1);
}

TEST_F(ConnectionTest, ASessionThatNeverOpenedClearsTheCachedHost) {
  repoInfo_->setInternalHost("ns-7.dz.test");
  onQueue([&] { sockets_.last().fails(); });
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
  EXPECT_EQ(repoInfo_->internalHost(), "ns.dz.test");
}

TEST_F(ConnectionTest, AnOpenSessionWithoutHandshakeIsClosedAfterTheConnectTimeOut) {
  onQueue([&] { sockets_.last().serverOpens(); });
  for (int i = 0; i < 30; ++i) scheduler_->advance(std::chrono::seconds(1));
  onQueue([] {});
  EXPECT_EQ(sockets_.last().closeCalls, 1);
  EXPECT_EQ(events(), std::vector<std::string>{"disconnect 1"});
}

TEST_F(ConnectionTest, ALostOpenSessionKeepsTheCachedHost) {
  handshake("ns-7.dz.test");
  onQueue([&] { sockets_.last().serverCloses(); });
  EXPECT_EQ(events().back(), "disconnect 1");
  EXPECT_EQ(repoInfo_->internalHost(), "ns-7.dz.test");
}

}  // namespace
}  // namespace dz::database
