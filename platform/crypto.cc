#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <cstring>

#include "platform/exception.h"

namespace dz::platform {

std::string sha1(std::string_view data) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

int base64EncodeBytes(const void* input, size_t length, char* output, size_t capacity) {
  // Four characters for every started group of three bytes, then the NUL.
  const size_t characters = 4 * (length / 3 + (length % 3 != 0));
  if (length > static_cast<size_t>(INT_MAX) / 4 * 3 || capacity < characters + 1) return -1;
  return EVP_EncodeBlock(reinterpret_cast<unsigned char*>(output),
                         static_cast<const unsigned char*>(input), static_cast<int>(length));
}

std::string base64Encode(std::string_view data) {
  // Room for the terminator, cut off again below.
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int written = base64EncodeBytes(data.data(), data.size(), out.data(), out.size());
  out.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return out;
}

namespace {

// Only the alphabet, with at most two '=' and only at the end: the decoder below would skip
// blanks and take '=' anywhere as a zero.
bool isPaddedBase64(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  for (char c : text.substr(0, text.size() - padding)) {
    const bool inAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!inAlphabet) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> base64Decode(std::string_view text) {
  if (!isPaddedBase64(text)) return std::nullopt;
  std::string out(3 * text.size() / 4, '\0');
  int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  // EVP_DecodeBlock counts padding as zero bytes; drop them.
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<size_t>(written) - padding);
  return out;
}

std::string secureRandomBytes(size_t count) {
  std::string out(count, '\0');
  if (count > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    throw Exception("SecureRandomFailure", "The system random generator failed");
  }
  return out;
}

uint32_t secureRandomUInt32() {
  std::string bytes = secureRandomBytes(sizeof(uint32_t));
  uint32_t value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

}  // namespace dz::platform
