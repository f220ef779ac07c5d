// Checks of caller input to the database interface: paths, keys, event types and priorities.
// The validate* functions throw dz::Exception with the check's name and a reason that starts with
// the caller's label in parentheses; they run on the caller's thread before anything is queued.
#pragma once

#include <array>
#include <string_view>

#include "database/snapshot/path.h"
#include "platform/value.h"

namespace dz::database {

inline constexpr char kWritablePathValidation[] = "WritablePathValidation";
inline constexpr char kInvalidPathValidation[] = "InvalidPathValidation";
inline constexpr char kInvalidKeyValidation[] = "InvalidKeyValidation";
inline constexpr char kKnownEventTypeValidation[] = "KnownEventTypeValidation";

namespace validation_detail {
inline constexpr char kInvalidKeyCharacters[] = "[].#$/";
// One lookup per byte, inline: keys are checked for every member of every JSON object read.
inline constexpr std::array<bool, 256> kInvalidKeyByte = [] {
  std::array<bool, 256> table{};
  for (char c : std::string_view(kInvalidKeyCharacters)) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}();
}  // namespace validation_detail

class Validation {
 public:
  // Throws WritablePathValidation when the first key is ".info".
  static void validateWritablePath(std::string_view label, const Path& path);
  // Throws InvalidPathValidation when the text is empty or holds one of "[].#$".
  static void validatePathString(std::string_view label, std::string_view pathString);
  // As validatePathString, after a leading ".info" segment (with any slashes before it) has been
  // dropped: ".info" and "/.info/connected" pass, "/.infox" does not.
  static void validateRootPathString(std::string_view label, std::string_view pathString);
  // Throws InvalidKeyValidation when the key is empty or holds one of "[].#$/".
  static void validateKey(std::string_view label, std::string_view key);
  // Throws KnownEventTypeValidation unless 0 <= type < 5.
  static void validateKnownEventType(std::string_view label, int eventType);
  // True for strings, numbers (not booleans, not NaN), null, and a map of ".sv" alone (a server
  // value placeholder); false for everything else. Never throws.
  static bool validatePriorityValue(const Value& value);

  // The predicates under the checks above.
  static bool isValidPathString(std::string_view pathString);
  // A path an update may write at: valid keys, of which the last alone may name the priority.
  static bool isValidUpdatePath(const Path& path);
  static bool isValidKey(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key) {
      if (validation_detail::kInvalidKeyByte[static_cast<unsigned char>(c)]) return false;
    }
    return true;
  }
};

}  // namespace dz::database
