#include "tools/devserver/peer_frames.h"

#include <cstdint>

namespace dz::devserver {

using websocket::Opcode;

void appendFrameHeader(std::string& out, Opcode opcode, size_t length) {
  out.push_back(static_cast<char>(websocket::kFinBit | static_cast<uint8_t>(opcode)));
  if (length <= websocket::kMaxInlineLength) {
    out.push_back(static_cast<char>(length));
  } else if (length <= 0xFFFF) {
    out.push_back(static_cast<char>(websocket::kLength16Marker));
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(length & 0xFF));
  } else {
    out.push_back(static_cast<char>(websocket::kLength64Marker));
    for (int shift = 56; shift >= 0; shift -= 8) {
      out.push_back(static_cast<char>((static_cast<uint64_t>(length) >> shift) & 0xFF));
    }
  }
}

void ClientFrameParser::parse(std::string& buffer, std::vector<Event>& events) {
  size_t offset = 0;
  auto fail = [&](const char* reason) {
    failed_ = true;
    events.push_back({Event::Kind::kError, reason});
  };
  while (!failed_ && buffer.size() - offset >= 2) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(buffer[offset + i]); };
    uint8_t first = byte(0);
    uint8_t second = byte(1);
    bool fin = first & websocket::kFinBit;
    uint8_t opcode = first & websocket::kOpcodeBits;
    if (first & websocket::kRsvBits) return fail("reserved bits set");
    if (!(second & websocket::kMaskBit)) return fail("unmasked client frame");
    size_t header = 2;
    uint64_t length = second & websocket::kLengthBits;
    if (length == websocket::kLength16Marker) {
      if (buffer.size() - offset < 4) break;
      length = (uint64_t{byte(2)} << 8) | byte(3);
      header = 4;
    } else if (length == websocket::kLength64Marker) {
      if (buffer.size() - offset < 10) break;
      length = 0;
      for (size_t i = 2; i < 10; ++i) length = (length << 8) | byte(i);
      header = 10;
      if (length >> 63) return fail("frame length with the top bit set");
    }
    if (length > maxMessageBytes_) return fail("frame over the message limit");
    if (buffer.size() - offset < header + websocket::kMaskKeyBytes + length) break;
    const size_t maskAt = offset + header;
    std::string payload = buffer.substr(maskAt + websocket::kMaskKeyBytes, length);
    for (size_t i = 0; i < payload.size(); ++i) {
      payload[i] = static_cast<char>(payload[i] ^ buffer[maskAt + i % websocket::kMaskKeyBytes]);
    }
    offset += header + websocket::kMaskKeyBytes + length;

    if (websocket::isControl(opcode)) {
      if (!fin || length > websocket::kMaxControlPayload) return fail("bad control frame");
      if (opcode == static_cast<uint8_t>(Opcode::kPing)) {
        events.push_back({Event::Kind::kPing, std::move(payload)});
      } else if (opcode == static_cast<uint8_t>(Opcode::kClose)) {
        events.push_back({Event::Kind::kClose, std::move(payload)});
      } else if (opcode != static_cast<uint8_t>(Opcode::kPong)) {
        return fail("unknown control opcode");
      }
      continue;
    }
    if (opcode == static_cast<uint8_t>(Opcode::kContinuation)) {
      if (!inMessage_) return fail("continuation without a message");
    } else if (opcode == static_cast<uint8_t>(Opcode::kText) ||
               opcode == static_cast<uint8_t>(Opcode::kBinary)) {
      if (inMessage_) return fail("new message inside a fragmented one");
      inMessage_ = true;
      messageIsText_ = opcode == static_cast<uint8_t>(Opcode::kText);
      message_.clear();
    } else {
      return fail("unknown data opcode");
    }
    if (message_.size() + payload.size() > maxMessageBytes_) return fail("message over the limit");
    message_ += payload;
    if (fin) {
      inMessage_ = false;
      if (messageIsText_) events.push_back({Event::Kind::kText, std::move(message_)});
      message_.clear();
    }
  }
  buffer.erase(0, offset);
}

}  // namespace dz::devserver
