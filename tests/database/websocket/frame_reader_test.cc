#include "database/websocket/frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "tests/support/beast_raw_server.h"

namespace dz::websocket {
namespace {

std::string serverFrame(uint8_t firstByte, std::string_view payload, bool masked = false) {
  return testing::RawScriptedServer::frame(firstByte, payload, masked);
}

struct Recorder : FrameReader::Handler {
  std::vector<std::string> events;
  void onMessage(Opcode opcode, std::string payload) override {
    events.push_back((opcode == Opcode::kText ? "text:" : "binary:") + payload);
  }
  void onPing(std::string payload) override { events.push_back("ping:" + payload); }
  void onPong(std::string payload) override { events.push_back("pong:" + payload); }
  void onClose(int code, std::string reason) override {
    events.push_back("close:" + std::to_string(code) + ":" + reason);
  }
  void onProtocolError(int code, std::string reason) override {
    events.push_back("error:" + std::to_string(code) + ":" + reason);
  }
};

struct FrameReaderTest : ::testing::Test {
  Recorder recorder;
  FrameReader reader{recorder, 1 << 20};

  size_t feed(std::string_view bytes) {
    return reader.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Feeds `bytes` as a socket reader does: each large payload part is written into the room the
  // reader hands out (sometimes only partly, as a short read leaves it), the rest is fed.
  void feedIntoPlace(std::string_view bytes) {
    size_t at = 0;
    for (size_t step = 0; at < bytes.size() && !reader.stopped(); ++step) {
      const size_t atMost = 1000 + step * 7919 % 30000;
      const std::span<char> room = reader.payloadRoom(500, atMost);
      if (room.empty()) {
        at += feed(bytes.substr(at, std::min<size_t>(bytes.size() - at, 1 + step % 300)));
        continue;
      }
      const size_t written =
          std::min({room.size(), bytes.size() - at, step % 3 == 0 ? room.size() / 2 : room.size()});
      std::copy_n(bytes.data() + at, written, room.data());
      reader.commitPayload(written);
      at += written;
    }
  }
  // Feeds one byte at a time, as a trickling server would deliver it.
  void feedBytewise(std::string_view bytes) {
    for (char c : bytes) feed(std::string_view(&c, 1));
  }
};

TEST_F(FrameReaderTest, DeliversTextAndBinaryMessagesInAnySlicing) {
  const std::string stream = serverFrame(0x81, "hello") + serverFrame(0x82, std::string(300, 'b')) +
                             serverFrame(0x81, std::string(70000, 'x'));
  feedBytewise(stream);
  ASSERT_EQ(recorder.events.size(), 3u);
  EXPECT_EQ(recorder.events[0], "text:hello");
  EXPECT_EQ(recorder.events[1], "binary:" + std::string(300, 'b'));
  EXPECT_EQ(recorder.events[2], "text:" + std::string(70000, 'x'));
}

TEST_F(FrameReaderTest, PayloadsReadIntoPlaceMatchThoseFed) {
  std::string text;
  for (int i = 0; text.size() < 150000; ++i) text += i % 3 ? "caf\xC3\xA9 " : "\xF0\x9F\x98\x80-";
  std::string binary(100000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 131 % 251);
  const std::string stream = serverFrame(0x81, text) + serverFrame(0x82, "small") +
                             serverFrame(0x02, binary.substr(0, 40000)) + serverFrame(0x89, "p") +
                             serverFrame(0x80, binary.substr(40000)) + serverFrame(0x81, "end");
  feed(stream);
  const std::vector<std::string> fed = recorder.events;
  ASSERT_EQ(fed.size(), 5u);
  recorder.events.clear();
  feedIntoPlace(stream);
  EXPECT_EQ(recorder.events, fed);

  // Text is checked as it lands: a bad byte deep in a large payload stops reading there.
  Recorder bad;
  FrameReader badReader(bad, 1 << 20);
  std::string broken = text;
  broken[120000] = '\xFF';
  const std::string frame = serverFrame(0x81, broken);
  const size_t header = frame.size() - broken.size();
  badReader.feed(reinterpret_cast<const uint8_t*>(frame.data()), header);
  std::span<char> room = badReader.payloadRoom(1, 100000);
  ASSERT_EQ(room.size(), 100000u);
  std::copy_n(broken.data(), room.size(), room.data());
  badReader.commitPayload(room.size());
  EXPECT_TRUE(bad.events.empty());
  room = badReader.payloadRoom(1, 100000);
  ASSERT_EQ(room.size(), broken.size() - 100000);
  std::copy_n(broken.data() + 100000, room.size(), room.data());
  badReader.commitPayload(room.size());
  EXPECT_EQ(bad.events, (std::vector<std::string>{"error:1007:Text frames must be valid UTF-8"}));
  EXPECT_TRUE(badReader.payloadRoom(1, 100).empty());
}

TEST_F(FrameReaderTest, AssemblesFragmentsAroundControlFrames) {
  feed(serverFrame(0x01, "one ") + serverFrame(0x89, "p") + serverFrame(0x00, "two ") +
       serverFrame(0x8A, "q") + serverFrame(0x80, "three"));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"ping:p", "pong:q", "text:one two three"}));
}

TEST_F(FrameReaderTest, AcceptsCharacterSplitAcrossFrames) {
  const std::string euro = "\xE2\x82\xAC";
  feed(serverFrame(0x01, "a" + euro.substr(0, 1)) + serverFrame(0x00, euro.substr(1, 1)) +
       serverFrame(0x80, euro.substr(2) + "b"));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"text:a" + euro + "b"}));
}

TEST_F(FrameReaderTest, RejectsInvalidTextAsSoonAsItsSliceArrivesAndStops) {
  std::string stream =
      serverFrame(0x01, "ok\xC0\xAF") + serverFrame(0x80, "rest") + serverFrame(0x81, "after");
  EXPECT_LT(feed(stream), stream.size());
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"error:1007:Text frames must be valid UTF-8"}));
  EXPECT_EQ(feed(serverFrame(0x81, "more")), 0u);
  EXPECT_EQ(recorder.events.size(), 1u);
}

TEST_F(FrameReaderTest, RejectsTextEndingInsideACharacter) {
  feed(serverFrame(0x81, "a\xE2\x82"));
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"error:1007:Text frames must be valid UTF-8"}));
}

TEST_F(FrameReaderTest, ReportsEachProtocolErrorWithItsText) {
  struct Case {
    std::string bytes;
    std::string event;
  };
  const std::vector<Case> cases = {
      {serverFrame(0xC1, "x"), "error:1002:Server used RSV bits"},
      {serverFrame(0x83, "x"), "error:1002:Unknown opcode 3"},
      {serverFrame(0x8B, "x"), "error:1002:Unknown opcode 11"},
      {serverFrame(0x80, "x"), "error:1002:cannot continue a message"},
      {serverFrame(0x01, "a") + serverFrame(0x81, "b"),
       "error:1002:all data frames after the initial data frame must have opcode 0"},
      {serverFrame(0x81, "x", true), "error:1002:Client must receive unmasked data"},
      {serverFrame(0x09, "x"), "error:1002:Fragmented control frames not allowed"},
      {serverFrame(0x89, std::string(126, 'p')),
       "error:1002:Control frames cannot have payloads larger than 126 bytes"},
      {serverFrame(0x88, "x"), "error:1002:Payload for close must be larger than 2 bytes"},
      {serverFrame(0x88, std::string("\x03\xED", 2)), "error:1002:Cannot have close code of 1005"},
      {serverFrame(0x88, std::string("\x03\xE8\xFF", 3)),
       "error:1002:Close reason MUST be valid UTF-8"},
  };
  for (const auto& c : cases) {
    Recorder recorder;
    FrameReader reader(recorder);
    const std::string stream = c.bytes + serverFrame(0x81, "never");
    reader.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
    EXPECT_EQ(recorder.events, std::vector<std::string>{c.event}) << c.event;
  }
}

TEST_F(FrameReaderTest, CapsFramesAndMessages) {
  // Top bit of the 64-bit length set: not a length at all.
  const std::string broken("\x82\x7F\x80\x00\x00\x00\x00\x00\x00\x01", 10);
  feed(broken);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{
                "error:1002:Payload length must not have its most significant bit set"}));

  Recorder big;
  FrameReader reader(big, 1 << 20);
  const std::string huge("\x82\x7F\x7F\x00\x00\x00\x00\x00\x00\x01", 10);
  reader.feed(reinterpret_cast<const uint8_t*>(huge.data()), huge.size());
  EXPECT_EQ(big.events, (std::vector<std::string>{"error:1009:Message too big"}));

  Recorder small;
  FrameReader capped(small, 100);
  const std::string stream =
      serverFrame(0x01, std::string(60, 'a')) + serverFrame(0x80, std::string(60, 'a'));
  capped.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
  EXPECT_EQ(small.events, (std::vector<std::string>{"error:1009:Message too big"}));
}

TEST_F(FrameReaderTest, CloseFramesCarryCodeAndReasonAndEndReading) {
  feed(serverFrame(0x88, std::string("\x0F\xA0", 2) + "bye") + serverFrame(0x81, "late"));
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"close:4000:bye"}));

  Recorder empty;
  FrameReader reader(empty);
  const std::string frame = serverFrame(0x88, "");
  reader.feed(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  EXPECT_EQ(empty.events, (std::vector<std::string>{"close:1005:"}));
}

TEST_F(FrameReaderTest, AcceptsLargestControlPayloadAndEmptyFrames) {
  feed(serverFrame(0x89, std::string(125, 'p')) + serverFrame(0x81, "") + serverFrame(0x02, "") +
       serverFrame(0x80, "z"));
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"ping:" + std::string(125, 'p'), "text:", "binary:z"}));
}

}  // namespace
}  // namespace dz::websocket
