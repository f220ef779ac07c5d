#include "platform/text.h"

namespace dz::platform {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string asciiLowercased(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool isAsciiAlphanumeric(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9');
}

std::string percentEncoded(std::string_view text, bool (*keep)(unsigned char byte)) {
  std::string encoded;
  encoded.reserve(text.size());
  for (unsigned char byte : text) {
    if (keep(byte)) {
      encoded += static_cast<char>(byte);
    } else {
      encoded += '%';
      encoded += kUpperHex[byte >> 4];
      encoded += kUpperHex[byte & 0xF];
    }
  }
  return encoded;
}

std::string percentDecoded(std::string_view text, bool plusIsBlank) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += plusIsBlank && text[i] == '+' ? ' ' : text[i];
    }
  }
  return decoded;
}

std::string hexString(std::string_view bytes) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    hex += kLowerHex[byte >> 4];
    hex += kLowerHex[byte & 0xF];
  }
  return hex;
}

}  // namespace dz::platform
