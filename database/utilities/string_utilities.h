// String transformations of the database client for user agents and URLs. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace dz::database {

// The text with every "/" and "_" replaced by "|".
std::string sanitizedForUserAgent(std::string_view text);

// Percent-encodes (upper-case hex) every byte of the UTF-8 text except ASCII letters, digits,
// "-", "_" and "~".
std::string urlEncoded(std::string_view text);

}  // namespace dz::database
