// The RFC 6455 frame layout shared by the frame reader and the frame writer: opcodes, header bits,
// the three length forms, and the close status codes this client sends and accepts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dz::websocket {

enum class Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

inline constexpr bool isControl(uint8_t opcode) { return (opcode & 0x8) != 0; }

// First header byte.
inline constexpr uint8_t kFinBit = 0x80;
inline constexpr uint8_t kRsvBits = 0x70;
inline constexpr uint8_t kOpcodeBits = 0x0F;
// Second header byte.
inline constexpr uint8_t kMaskBit = 0x80;
inline constexpr uint8_t kLengthBits = 0x7F;

// The 7-bit length field: values up to 125 are the length; 126 and 127 announce a 16-bit or a
// 64-bit big-endian length after it.
inline constexpr uint8_t kMaxInlineLength = 125;
inline constexpr uint8_t kLength16Marker = 126;
inline constexpr uint8_t kLength64Marker = 127;
inline constexpr size_t kMaskKeyBytes = 4;
// Two fixed bytes, the longest length form and a mask key.
inline constexpr size_t kMaxHeaderBytes = 2 + 8 + kMaskKeyBytes;

inline constexpr size_t kMaxControlPayload = 125;
// A close payload is the 2-byte code plus a reason that keeps the frame a control frame.
inline constexpr size_t kMaxCloseReasonBytes = kMaxControlPayload - 2;

// Close status codes (RFC 6455 section 7.4.1).
inline constexpr int kCloseNormal = 1000;
inline constexpr int kCloseGoingAway = 1001;
inline constexpr int kCloseProtocolError = 1002;
inline constexpr int kCloseUnsupportedData = 1003;
inline constexpr int kCloseNoStatus = 1005;
inline constexpr int kCloseAbnormal = 1006;
inline constexpr int kCloseInvalidPayload = 1007;
inline constexpr int kCloseMessageTooBig = 1009;
// The reason sent with kCloseMessageTooBig, by the reader and by a sender alike.
inline constexpr char kMessageTooBigReason[] = "Message too big";

// Codes a peer may put in a close frame: 1000-1003, 1007-1011 and the registered and private
// ranges 3000-4999. 1004-1006 and 1012-2999 are reserved or never sent on the wire.
inline constexpr bool isValidCloseCode(int code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
         (code >= 3000 && code <= 4999);
}

}  // namespace dz::websocket
