#include "database/utilities/string_utilities.h"

namespace dz::database {

std::string sanitizedForUserAgent(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c == '/' || c == '_') c = '|';
  }
  return result;
}

std::string urlEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '~';
    if (unreserved) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0xF];
    }
  }
  return result;
}

}  // namespace dz::database
