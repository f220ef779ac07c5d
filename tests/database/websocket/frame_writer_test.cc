#include "database/websocket/frame_writer.h"

#include <gtest/gtest.h>

#include "database/websocket/frame_reader.h"

namespace dz::websocket {
namespace {

std::string unmask(std::string_view payload, const MaskKey& key) {
  std::string out(payload);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ key[i % 4]);
  return out;
}

TEST(FrameWriterTest, UsesTheThreeLengthFormsWithFinAndMask) {
  const MaskKey key{0x12, 0x34, 0x56, 0x78};
  struct Case {
    size_t length;
    size_t headerBytes;
    uint8_t marker;
  };
  for (const Case& c : {Case{0, 6, 0}, Case{125, 6, 125}, Case{126, 8, 126}, Case{65535, 8, 126},
                        Case{65536, 14, 127}}) {
    const std::string payload(c.length, 'q');
    std::string frame;
    appendFrame(frame, Opcode::kText, payload, key);
    ASSERT_EQ(frame.size(), c.headerBytes + c.length) << c.length;
    EXPECT_EQ(static_cast<uint8_t>(frame[0]), 0x81);
    EXPECT_EQ(static_cast<uint8_t>(frame[1]), 0x80 | c.marker) << c.length;
    uint64_t decoded = c.marker;
    if (c.marker == 126) decoded = (uint8_t(frame[2]) << 8) | uint8_t(frame[3]);
    if (c.marker == 127) {
      decoded = 0;
      for (int i = 2; i < 10; ++i) decoded = (decoded << 8) | uint8_t(frame[i]);
    }
    if (c.marker < 126) decoded = c.length;
    EXPECT_EQ(decoded, c.length);
    EXPECT_EQ(frame.substr(c.headerBytes - 4, 4), std::string("\x12\x34\x56\x78"));
    EXPECT_EQ(unmask(std::string_view(frame).substr(c.headerBytes), key), payload);
  }
}

TEST(FrameWriterTest, DrawsAFreshKeyForEveryFrame) {
  std::string a, b;
  appendFrame(a, Opcode::kBinary, "same payload");
  appendFrame(b, Opcode::kBinary, "same payload");
  EXPECT_NE(a.substr(2, 4), b.substr(2, 4));
}

TEST(FrameWriterTest, ClosePayloadCutsReasonOnCharacterBoundary) {
  EXPECT_EQ(closePayload(1000, ""), std::string("\x03\xE8", 2));
  // 122 ASCII bytes and a 2-byte character: the character would end at byte 124.
  const std::string reason = std::string(122, 'r') + "\xC3\xA9" + "tail";
  const std::string payload = closePayload(4001, reason);
  EXPECT_EQ(payload.size(), 2u + 122u);
  EXPECT_EQ(payload.substr(2), std::string(122, 'r'));
  EXPECT_EQ(closePayload(1000, std::string(200, 'x')).size(), 125u);
}

}  // namespace
}  // namespace dz::websocket
