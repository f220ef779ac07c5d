// Accessibility: the notifications a program posts for assistive technology, recorded so tests
// can read them. Main thread only.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace dz::ui {

enum class AccessibilityNotification { ScreenChanged, LayoutChanged, Announcement };

struct AccessibilityPost {
  AccessibilityNotification notification;
  std::optional<std::string> argument;
  friend bool operator==(const AccessibilityPost&, const AccessibilityPost&) = default;
};

class Accessibility {
 public:
  static void post(AccessibilityNotification notification,
                   std::optional<std::string> argument = std::nullopt);
  static const std::vector<AccessibilityPost>& posted();
  static void clearPosted();
};

}  // namespace dz::ui
