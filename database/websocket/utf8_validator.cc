#include "database/websocket/utf8_validator.h"

#include <unicode/utf8.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>

namespace dz::websocket {
namespace {

// Whether bytes[start..] is a lead byte followed by fewer trail bytes than it announces, each of
// them acceptable at its place.
bool isIncompleteCharacter(std::string_view bytes, size_t start) {
  const auto lead = static_cast<uint8_t>(bytes[start]);
  const size_t trailCount = U8_COUNT_TRAIL_BYTES(lead);
  const size_t arrived = bytes.size() - start - 1;
  if (trailCount == 0 || arrived >= trailCount) return false;
  if (arrived == 0) return true;
  const auto first = static_cast<uint8_t>(bytes[start + 1]);
  bool firstOk = false;
  switch (trailCount) {
    case 1:
      firstOk = U8_IS_TRAIL(first);
      break;
    case 2:
      firstOk = U8_IS_VALID_LEAD3_AND_T1(lead, first);
      break;
    default:
      firstOk = U8_IS_VALID_LEAD4_AND_T1(lead, first);
      break;
  }
  if (!firstOk) return false;
  for (size_t i = start + 2; i < bytes.size(); ++i) {
    if (!U8_IS_TRAIL(static_cast<uint8_t>(bytes[i]))) return false;
  }
  return true;
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t loadWord(const uint8_t* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The index of the first non-ASCII byte at or after `index`, or `length`. Long texts go 64 bytes
// a step, the rest a word a step.
int64_t skipAscii(const uint8_t* data, int64_t index, int64_t length) {
#if defined(__SSE2__)
  while (index + 64 <= length) {
    const auto* at = reinterpret_cast<const __m128i*>(data + index);
    const __m128i any =
        _mm_or_si128(_mm_or_si128(_mm_loadu_si128(at), _mm_loadu_si128(at + 1)),
                     _mm_or_si128(_mm_loadu_si128(at + 2), _mm_loadu_si128(at + 3)));
    if (_mm_movemask_epi8(any) != 0) break;
    index += 64;
  }
#endif
  while (index + 32 <= length) {
    const uint64_t any = loadWord(data + index) | loadWord(data + index + 8) |
                         loadWord(data + index + 16) | loadWord(data + index + 24);
    if (any & kHighBits) break;
    index += 32;
  }
  while (index + 8 <= length && (loadWord(data + index) & kHighBits) == 0) index += 8;
  while (index < length && data[index] < 0x80) ++index;
  return index;
}

}  // namespace

std::optional<size_t> scanUtf8Prefix(std::string_view bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int64_t>(bytes.size());
  int64_t index = 0;
  while (index < length) {
    // Plain ASCII runs are the common case of the database's JSON text: skip them a word at a
    // time.
    if (data[index] < 0x80) {
      index = skipAscii(data, index, length);
      continue;
    }
    const int64_t start = index;
    UChar32 c;
    U8_NEXT(data, index, length, c);
    if (c < 0) {
      if (isIncompleteCharacter(bytes, static_cast<size_t>(start))) {
        return static_cast<size_t>(start);
      }
      return std::nullopt;
    }
  }
  return static_cast<size_t>(length);
}

bool isValidUtf8(std::string_view bytes) {
  const auto prefix = scanUtf8Prefix(bytes);
  return prefix && *prefix == bytes.size();
}

}  // namespace dz::websocket
