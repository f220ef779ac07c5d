// UserNotificationCenter: the platform's user-notification authorization, simulated. A test or
// the program decides the user's answer; requests are recorded and answered on the main queue.
// The delegate is held weakly. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/error.h"

namespace dz::ui {

// Option bits, with the platform's values.
enum NotificationOptions : unsigned {
  kNotificationBadge = 1,
  kNotificationSound = 2,
  kNotificationAlert = 4,
};

class UserNotificationCenterDelegate {
 public:
  virtual ~UserNotificationCenterDelegate() = default;
};

class UserNotificationCenter {
 public:
  using Completion = std::function<void(bool granted, ErrorPtr error)>;
  static UserNotificationCenter& current();

  void requestAuthorization(unsigned options, Completion completion);
  void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  std::shared_ptr<UserNotificationCenterDelegate> delegate() const { return delegate_.lock(); }

  // Simulation: the answer the user gives, and the requests made.
  void setGrants(bool grants) { grants_ = grants; }
  const std::vector<unsigned>& requests() const { return requests_; }
  void reset();

 private:
  UserNotificationCenter() = default;
  std::weak_ptr<UserNotificationCenterDelegate> delegate_;
  bool grants_ = true;
  std::vector<unsigned> requests_;
};

}  // namespace dz::ui
