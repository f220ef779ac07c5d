#include "database/websocket/frame_writer.h"

#include <algorithm>
#include <cstring>

#include "platform/crypto.h"

namespace dz::websocket {
namespace {

void appendLength(std::string& out, uint64_t length) {
  if (length <= kMaxInlineLength) {
    out.push_back(static_cast<char>(kMaskBit | length));
    return;
  }
  const int bytes = length <= 0xFFFF ? 2 : 8;
  out.push_back(static_cast<char>(kMaskBit | (bytes == 2 ? kLength16Marker : kLength64Marker)));
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(length >> (8 * i)));
}

void maskInto(char* out, const char* in, size_t size, const MaskKey& key) {
  uint64_t wideKey;
  uint8_t pattern[8];
  for (size_t i = 0; i < 8; ++i) pattern[i] = key[i % kMaskKeyBytes];
  std::memcpy(&wideKey, pattern, 8);
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, in + i, 8);
    word ^= wideKey;
    std::memcpy(out + i, &word, 8);
  }
  for (; i < size; ++i) out[i] = static_cast<char>(in[i] ^ key[i % kMaskKeyBytes]);
}

}  // namespace

void appendFrame(std::string& out, Opcode opcode, std::string_view payload, const MaskKey& key) {
  out.push_back(static_cast<char>(kFinBit | static_cast<uint8_t>(opcode)));
  appendLength(out, payload.size());
  out.append(reinterpret_cast<const char*>(key.data()), key.size());
  const size_t start = out.size();
  out.resize(start + payload.size());
  maskInto(out.data() + start, payload.data(), payload.size(), key);
}

void appendFrame(std::string& out, Opcode opcode, std::string_view payload) {
  const std::string random = platform::secureRandomBytes(kMaskKeyBytes);
  MaskKey key;
  std::memcpy(key.data(), random.data(), key.size());
  appendFrame(out, opcode, payload, key);
}

std::string closePayload(int code, std::string_view reason) {
  std::string payload;
  payload.push_back(static_cast<char>((code >> 8) & 0xFF));
  payload.push_back(static_cast<char>(code & 0xFF));
  size_t cut = std::min(reason.size(), kMaxCloseReasonBytes);
  // Step back over trail bytes so that no character is split.
  if (cut < reason.size()) {
    while (cut > 0 && (static_cast<uint8_t>(reason[cut]) & 0xC0) == 0x80) --cut;
  }
  payload.append(reason.substr(0, cut));
  return payload;
}

}  // namespace dz::websocket
