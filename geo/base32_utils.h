// The geo-hash alphabet: 32 characters, digits then lower-case letters without a, i, l and o, each
// standing for 5 bits. Pure functions, safe from any thread.
#pragma once

#include <string>

namespace dz::geo {

class Base32Utils {
 public:
  // The alphabet character of a value 0..31; a larger value throws dz::Exception
  // (invalid argument).
  static char valueToBase32Character(unsigned long value);
  // The value 0..31 of an alphabet character; any other character throws dz::Exception
  // (invalid argument).
  static unsigned long base32CharacterToValue(char character);
  static const std::string& base32Characters();
  // The character's value, or -1 outside the alphabet.
  static int valueOf(char character);
};

}  // namespace dz::geo
