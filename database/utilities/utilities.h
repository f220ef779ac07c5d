// Small helpers of the database client: process-wide local ids, errors from connection statuses,
// the sentinel key names, integer keys, frame splitting and random numbers. All thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace dz::database {

// The next value of one process-wide counter: 1, 2, 3 ... (observer handles, transaction order,
// WebSocket session ids).
uint64_t LUIDGenerator();

inline constexpr char kErrorDomain[] = "com.dezuvura";
inline constexpr int64_t kErrorCodePermissionDenied = 1;
inline constexpr int64_t kErrorCodeUnavailable = 2;
inline constexpr int64_t kErrorCodeWriteCanceled = 3;
inline constexpr int64_t kErrorCodeOther = 9999;

// None for "ok"; otherwise an error of domain "com.dezuvura" whose code and description follow
// the status ("permission_denied" 1, "unavailable" 2, "write_canceled" 3, anything else 9999 with
// the status as description). A given reason replaces the description.
ErrorPtr errorForStatus(std::string_view status, std::optional<std::string> reason = std::nullopt);

// The sentinel keys that sort before and after every key ("[MIN_NAME]", "[MAX_NAME]").
const std::string& minName();
const std::string& maxName();

// The value of a non-empty string of ASCII decimal digits that fits a signed 64-bit integer;
// none for anything else (signs, spaces, other digits, overflow).
std::optional<int64_t> intForString(std::string_view text);

// Cuts UTF-8 text into pieces of at most `maxSize` UTF-16 code units, in order; concatenated they
// give the text back. Pieces are exactly `maxSize` long except the last, and one unit shorter
// where a full piece would end inside a surrogate pair, so every piece is valid text of its own.
// Text no longer than `maxSize` (including "") comes back as one piece. Every piece holds at least
// one character, so with `maxSize` 1 a character beyond U+FFFF is a piece of two units; a
// `maxSize` of 0 is taken as 1.
std::vector<std::string> splitString(std::string_view text, size_t maxSize);

// A uniformly random double in [0, 1): a 32-bit random number times 2^-32.
double randomDouble();

}  // namespace dz::database
