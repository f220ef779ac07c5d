// The server's frame parser against frames the client's own writer makes: whole and split
// across reads, fragmented, control frames between fragments, and protocol violations.
#include "tools/devserver/peer_frames.h"

#include <gtest/gtest.h>

#include "database/websocket/frame_writer.h"

namespace dz::devserver {
namespace {

using Event = ClientFrameParser::Event;
using websocket::Opcode;

std::string frame(Opcode opcode, std::string_view payload, bool fin = true) {
  std::string out;
  websocket::appendFrame(out, opcode, payload, {9, 8, 7, 6});
  if (!fin) out[0] = static_cast<char>(out[0] & ~websocket::kFinBit);
  return out;
}

std::vector<Event> parseAll(ClientFrameParser& parser, std::string bytes, size_t step) {
  std::vector<Event> events;
  std::string buffer;
  for (size_t at = 0; at < bytes.size(); at += step) {
    buffer += bytes.substr(at, step);
    parser.parse(buffer, events);
  }
  EXPECT_TRUE(buffer.empty());
  return events;
}

TEST(PeerFramesTest, MessagesWholeOrSplitAnywhere) {
  std::string big(70000, 'x');
  std::string bytes = frame(Opcode::kText, "one") + frame(Opcode::kText, big) +
                      frame(Opcode::kText, "thr", false) + frame(Opcode::kPing, "p") +
                      frame(Opcode::kContinuation, "ee") + frame(Opcode::kPong, "") +
                      frame(Opcode::kBinary, "dropped") + frame(Opcode::kClose, "\x03\xe8");
  for (size_t step : {bytes.size(), size_t{1}, size_t{7}, size_t{4096}}) {
    ClientFrameParser parser(1 << 20);
    auto events = parseAll(parser, bytes, step);
    ASSERT_EQ(events.size(), 5u) << "step " << step;
    EXPECT_EQ(events[0].payload, "one");
    EXPECT_EQ(events[1].payload, big);
    EXPECT_EQ(events[2].kind, Event::Kind::kPing);
    EXPECT_EQ(events[3].payload, "three");
    EXPECT_EQ(events[4].kind, Event::Kind::kClose);
    EXPECT_EQ(events[4].payload, "\x03\xe8");
  }
}

TEST(PeerFramesTest, ViolationsStopTheParser) {
  std::string unmasked = "\x81\x02hi";
  std::string continuation = frame(Opcode::kContinuation, "x");
  std::string interleaved = frame(Opcode::kText, "a", false) + frame(Opcode::kText, "b");
  std::string fragmentedPing = frame(Opcode::kPing, "p", false);
  std::string tooLong = frame(Opcode::kText, std::string(101, 'x'));
  for (const std::string& bytes : {unmasked, continuation, interleaved, fragmentedPing, tooLong}) {
    ClientFrameParser parser(100);
    std::vector<Event> events;
    std::string buffer = bytes + frame(Opcode::kText, "after");
    parser.parse(buffer, events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, Event::Kind::kError);
    parser.parse(buffer, events);
    EXPECT_EQ(events.back().kind, Event::Kind::kError) << "parsed on after an error";
  }
}

TEST(PeerFramesTest, HeadersOfEachLengthForm) {
  for (size_t length : {size_t{0}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
    std::string header;
    appendFrameHeader(header, Opcode::kText, length);
    EXPECT_EQ(header.size(), length <= 125 ? 2u : (length <= 65535 ? 4u : 10u));
    EXPECT_EQ(static_cast<uint8_t>(header[0]), 0x81);
  }
}

}  // namespace
}  // namespace dz::devserver
