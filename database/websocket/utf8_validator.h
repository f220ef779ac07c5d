// UTF-8 checks of received text (message payloads arriving in slices, close reasons), on the
// rules of ICU's UTF-8 macros: no overlong forms, no surrogates, nothing above U+10FFFF.
// Stateless free functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace dz::websocket {

// The length of the longest prefix of `bytes` made of complete, well-formed characters, provided
// that whatever follows it is the beginning of a character that more bytes could still complete.
// None when `bytes` holds an ill-formed sequence.
std::optional<size_t> scanUtf8Prefix(std::string_view bytes);

// Whether `bytes` is complete, well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

}  // namespace dz::websocket
