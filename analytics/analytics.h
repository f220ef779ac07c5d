// Analytics: as much of the analytics client as the application uses: the user identifier, kept
// as the internal user property "_id". Process-wide; thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/value.h"

namespace dz::analytics {

inline constexpr char kUserIDPropertyName[] = "_id";

class Analytics {
 public:
  // A string becomes the user identifier; null removes it; any other value is refused with a log
  // line and changes nothing.
  static void setUserID(const Value& userID);
  // The internal user property `name`, or none.
  static std::optional<std::string> userProperty(const std::string& name);
  // Forgets every property, for tests.
  static void reset();
};

}  // namespace dz::analytics
