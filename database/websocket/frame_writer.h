// Client frames (RFC 6455 sections 5.2 and 5.3): every frame carries FIN (the client never
// fragments) and is masked with a fresh random key. Free functions; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "database/websocket/frame_format.h"

namespace dz::websocket {

using MaskKey = std::array<uint8_t, kMaskKeyBytes>;

// Appends one frame of `payload` masked with `key` to `out`.
void appendFrame(std::string& out, Opcode opcode, std::string_view payload, const MaskKey& key);
// The same with a key from the system's secure random source.
void appendFrame(std::string& out, Opcode opcode, std::string_view payload);

// The payload of a close frame: the code big-endian, then the reason cut to the longest prefix
// of at most 123 bytes that ends on a character boundary.
std::string closePayload(int code, std::string_view reason);

}  // namespace dz::websocket
