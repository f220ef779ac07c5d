// Text helpers every layer shares: ASCII lower-casing, percent-encoding and hexadecimal. Bytes
// outside ASCII pass through as they are. Thread-safe free functions.
#pragma once

#include <string>
#include <string_view>

namespace dz::platform {

// "A" to "Z" become "a" to "z"; every other byte stays.
std::string asciiLowercased(std::string_view text);

// Every byte for which `keep` is false becomes "%XX" (upper-case hexadecimal).
std::string percentEncoded(std::string_view text, bool (*keep)(unsigned char byte));
// ASCII letters and digits, the core of every encoder's unreserved set.
bool isAsciiAlphanumeric(unsigned char byte);

// "%XX" sequences decoded; a "%" without two hexadecimal digits stands for itself. For form
// bodies (`plusIsBlank`), "+" reads as a blank.
std::string percentDecoded(std::string_view text, bool plusIsBlank = false);

// Two lower-case hexadecimal digits per byte.
std::string hexString(std::string_view bytes);

}  // namespace dz::platform
