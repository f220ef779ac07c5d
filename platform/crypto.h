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
// Standard base64 with padding.
std::string base64Encode(std::string_view data);
// None for text that is not valid padded base64.
std::optional<std::string> base64Decode(std::string_view text);
// Bytes from the system's cryptographic generator. Throws dz::Exception "SecureRandomFailure"
// only if the generator itself fails.
std::string secureRandomBytes(size_t count);
uint32_t secureRandomUInt32();

}  // namespace dz::platform
