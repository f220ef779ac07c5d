// Digests, base64 and secure random bytes (OpenSSL). Thread-safe free functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dz::platform {

// 20 raw bytes of SHA-1.
std::string sha1(std::string_view data);
// Standard base64 with padding (RFC 4648 section 4).
std::string base64Encode(std::string_view data);
// The same written to `output` as text and a terminating NUL. Returns the number of characters,
// or -1 (nothing written) when characters and terminator do not fit in `capacity` bytes.
int base64EncodeBytes(const void* input, size_t length, char* output, size_t capacity);
// None for text that is not valid padded base64.
std::optional<std::string> base64Decode(std::string_view text);
// Bytes from the system's cryptographic generator. Throws dz::Exception "SecureRandomFailure"
// only if the generator itself fails.
std::string secureRandomBytes(size_t count);
uint32_t secureRandomUInt32();

}  // namespace dz::platform
