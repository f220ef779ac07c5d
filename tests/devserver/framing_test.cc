// The text layer: long messages go out as a count frame and pieces, incoming count frames are
// joined, keep-alive frames are ignored, and the server sends its own keep-alive when idle.
#include <gtest/gtest.h>

#include "database/utilities/wire_protocol.h"
#include "tests/devserver/test_client.h"
#include "tools/devserver/message_frames.h"

namespace dz::devserver {
namespace {

using testing::body;
using testing::TestClient;
using testing::text;

constexpr size_t kFrame = database::wire::kMaxFrameCharacters;

TEST(MessageFrames, ShortTextIsOneFrameAndLongTextIsCounted) {
  EXPECT_EQ(framesForMessage(std::string(kFrame, 'a'), kFrame).size(), 1u);
  auto frames = framesForMessage(std::string(kFrame + 1, 'a'), kFrame);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], "2");
  EXPECT_EQ(frames[1].size(), kFrame);
  EXPECT_EQ(frames[2], "a");
}

TEST(MessageFrames, NeverCutsACharacterApart) {
  // "😀" is two UTF-16 units: a full first piece would end inside it.
  std::string text = std::string(kFrame - 1, 'a') + "\xF0\x9F\x98\x80" + "b";
  auto frames = framesForMessage(text, kFrame);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1], std::string(kFrame - 1, 'a'));
  EXPECT_EQ(frames[2],
            "\xF0\x9F\x98\x80"
            "b");
}

TEST(FrameJoiner, JoinsCountedFramesAndPassesOthersAlone) {
  FrameJoiner joiner;
  EXPECT_FALSE(joiner.add("3"));
  EXPECT_FALSE(joiner.add("{\"a\":"));
  EXPECT_FALSE(joiner.add("1"));  // a short number inside a message is a piece, not a count
  EXPECT_EQ(joiner.add("}"), "{\"a\":1}");
  EXPECT_EQ(joiner.add("0"), "0");
  EXPECT_EQ(joiner.add("-1"), "-1");
  EXPECT_EQ(joiner.add("12345"), "12345");
  EXPECT_EQ(joiner.add("abc"), "abc");
  EXPECT_FALSE(joiner.collecting());
}

TEST(FrameJoiner, RefusesCountsAndMessagesAboveItsLimits) {
  FrameJoiner joiner(/*maxFrames=*/10, /*maxBytes=*/8);
  EXPECT_EQ(joiner.add("11"), "11");
  EXPECT_FALSE(joiner.add("2"));
  EXPECT_FALSE(joiner.add("12345"));
  EXPECT_FALSE(joiner.add("6789"));  // nine bytes: the message is dropped
  EXPECT_FALSE(joiner.collecting());
  EXPECT_FALSE(joiner.add("2"));
  EXPECT_FALSE(joiner.add("ab"));
  EXPECT_EQ(joiner.add("cd"), "abcd");
}

TEST(Framing, LongDataGoesOutAsCountAndPieces) {
  auto server = DevServer::start();
  std::string big(40000, 'x');
  server->set("/big", boost::json::string(big));
  auto client = TestClient::connect(*server);
  client->request("q", body("/big"));
  auto count = client->receiveFrame();
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, "3");
  std::string joined;
  for (int i = 0; i < 3; ++i) {
    auto piece = client->receiveFrame();
    ASSERT_TRUE(piece);
    EXPECT_LE(piece->size(), kFrame);
    joined += *piece;
  }
  auto push = boost::json::parse(joined);
  EXPECT_EQ(text(push.at("d").at("b").at("d")), big);
}

TEST(Framing, CountFramedRequestsAreJoined) {
  auto server = DevServer::start();
  auto client = TestClient::connect(*server);
  std::string big(50000, 'y');
  // The test client counts and cuts long messages like the database client does.
  EXPECT_EQ(client->call("p", body("/big", {{"d", big}})), "ok");
  EXPECT_EQ(text(server->snapshot("/big")), big);
}

TEST(Framing, KeepAliveFromTheClientIsIgnored) {
  auto server = DevServer::start();
  auto client = TestClient::connect(*server);
  client->sendFrame("0");
  EXPECT_EQ(client->call("p", body("/a", {{"d", 1}})), "ok");
  EXPECT_EQ(server->requestCount(), 1u);
}

TEST(Framing, IdleServerSendsKeepAlive) {
  Options options;
  options.keepAliveInterval = std::chrono::milliseconds(20);
  auto server = DevServer::start(options);
  auto client = TestClient::connect(*server);
  auto frame = client->receiveFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, "0");
}

}  // namespace
}  // namespace dz::devserver
