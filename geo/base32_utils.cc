#include "geo/base32_utils.h"

#include <array>
#include <cstdio>

#include "platform/exception.h"

namespace dz::geo {
namespace {

constexpr char kAlphabet[] = "0123456789bcdefghjkmnpqrstuvwxyz";

constexpr std::array<signed char, 256> kValues = [] {
  std::array<signed char, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 32; ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
  return values;
}();

}  // namespace

char Base32Utils::valueToBase32Character(unsigned long value) {
  if (value > 31) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "Not a valid base32 value: %lu", value);
    throw Exception(kInvalidArgumentException, reason);
  }
  return kAlphabet[value];
}

unsigned long Base32Utils::base32CharacterToValue(char character) {
  const int value = valueOf(character);
  if (value < 0) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "Not a valid base32 character: %c", character);
    throw Exception(kInvalidArgumentException, reason);
  }
  return static_cast<unsigned long>(value);
}

const std::string& Base32Utils::base32Characters() {
  static const std::string characters(kAlphabet);
  return characters;
}

int Base32Utils::valueOf(char character) { return kValues[static_cast<unsigned char>(character)]; }

}  // namespace dz::geo
