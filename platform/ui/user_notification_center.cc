#include "platform/ui/user_notification_center.h"

#include "platform/dispatch_queue.h"

namespace dz::ui {

UserNotificationCenter& UserNotificationCenter::current() {
  static auto* center = new UserNotificationCenter();  // lives until exit
  return *center;
}

void UserNotificationCenter::requestAuthorization(unsigned options, Completion completion) {
  requests_.push_back(options);
  if (!completion) return;
  bool granted = grants_;
  platform::DispatchQueue::main()->async(
      [completion = std::move(completion), granted] { completion(granted, nullptr); });
}

void UserNotificationCenter::reset() {
  delegate_.reset();
  grants_ = true;
  requests_.clear();
}

}  // namespace dz::ui
