#include "database/utilities/utilities.h"

#include <algorithm>
#include <cstring>

#include "database/utilities/atomic_number.h"
#include "database/utilities/wire_protocol.h"
#include "platform/crypto.h"

namespace dz::database {
namespace {

constexpr char kPermissionDeniedText[] = "Permission Denied";
constexpr char kUnavailableText[] = "Service is unavailable";
constexpr char kWriteCanceledText[] = "Write cancelled by user";

// UTF-8 length of the sequence that starts with `lead`; a stray byte counts as one.
size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The length of the plain ASCII run that `text` starts with, a word at a time.
size_t asciiPrefix(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  size_t at = 0;
  for (uint64_t word; at + sizeof word <= text.size(); at += sizeof word) {
    std::memcpy(&word, text.data() + at, sizeof word);
    if (word & kHighBits) break;
  }
  while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x80) ++at;
  return at;
}

}  // namespace

uint64_t LUIDGenerator() {
  static AtomicNumber counter;
  return counter.getAndIncrement();
}

ErrorPtr errorForStatus(std::string_view status, std::optional<std::string> reason) {
  if (status == wire::kStatusOk) return nullptr;
  int64_t code = kErrorCodeOther;
  std::string description(status);
  if (status == wire::kStatusPermissionDenied) {
    code = kErrorCodePermissionDenied;
    description = kPermissionDeniedText;
  } else if (status == wire::kStatusUnavailable) {
    code = kErrorCodeUnavailable;
    description = kUnavailableText;
  } else if (status == wire::kStatusWriteCanceled) {
    code = kErrorCodeWriteCanceled;
    description = kWriteCanceledText;
  }
  if (reason) description = std::move(*reason);
  return std::make_shared<const Error>(kErrorDomain, code, std::move(description));
}

// Never destroyed, like the other shared constants queues may still read while the process exits.
const std::string& minName() {
  static const std::string* name = new std::string("[MIN_NAME]");
  return *name;
}

const std::string& maxName() {
  static const std::string* name = new std::string("[MAX_NAME]");
  return *name;
}

std::optional<int64_t> intForString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return static_cast<int64_t>(value);
}

std::vector<std::string> splitString(std::string_view text, size_t maxSize) {
  maxSize = std::max<size_t>(maxSize, 1);
  std::vector<std::string> pieces;
  pieces.reserve(text.size() / maxSize + 1);
  size_t pieceStart = 0;
  size_t pieceUnits = 0;
  size_t at = 0;
  while (at < text.size()) {
    // ASCII, most of the text, is one unit a byte: as much as the piece has room for at once.
    size_t run = asciiPrefix(text.substr(at, maxSize - std::min(pieceUnits, maxSize)));
    at += run;
    pieceUnits += run;
    if (at == text.size()) break;
    size_t length =
        std::min(sequenceLength(static_cast<unsigned char>(text[at])), text.size() - at);
    // Four-byte sequences are the characters beyond U+FFFF: a surrogate pair in UTF-16.
    size_t units = length == 4 ? 2 : 1;
    if (pieceUnits > 0 && pieceUnits + units > maxSize) {
      pieces.emplace_back(text.substr(pieceStart, at - pieceStart));
      pieceStart = at;
      pieceUnits = 0;
    }
    pieceUnits += units;
    at += length;
  }
  pieces.emplace_back(text.substr(pieceStart));
  return pieces;
}

double randomDouble() { return platform::secureRandomUInt32() * 0x1p-32; }

}  // namespace dz::database
