#include "platform/ui/accessibility.h"

namespace dz::ui {
namespace {

std::vector<AccessibilityPost>& log() {
  static auto* posts = new std::vector<AccessibilityPost>();
  return *posts;
}

}  // namespace

void Accessibility::post(AccessibilityNotification notification,
                         std::optional<std::string> argument) {
  // Only the recent ones are kept: a long-running program posts without end.
  constexpr size_t kKept = 1000;
  auto& posts = log();
  if (posts.size() >= kKept) posts.erase(posts.begin(), posts.begin() + kKept / 2);
  posts.push_back({notification, std::move(argument)});
}

const std::vector<AccessibilityPost>& Accessibility::posted() { return log(); }
void Accessibility::clearPosted() { log().clear(); }

}  // namespace dz::ui
