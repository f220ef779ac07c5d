// AppDelegate: the application's delegate. At launch it configures the default app from the
// options file, signs out a user left from an earlier installation, shows the polls screen to a
// signed-in user and the sign-in screen otherwise, and starts the update check. It asks for
// notification permission when the polls screen asks it to, stores the device token the platform
// hands over in the user's record, receives remote messages, and removes the database root's
// observers at termination. Main thread only; the application object holds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "messaging/messaging.h"
#include "platform/ui/application.h"
#include "platform/ui/user_notification_center.h"

namespace pollapp {

inline constexpr char kAlreadyInstalledDefault[] = "alreadyInstalled";
inline constexpr char kMainStoryboard[] = "Main";

class AppDelegate : public dz::ui::ApplicationDelegate,
                    public dz::messaging::MessagingDelegate,
                    public dz::ui::UserNotificationCenterDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  static std::shared_ptr<AppDelegate> create();

  bool didFinishLaunching(dz::ui::Application& application, const dz::Value::Map& options) override;
  std::shared_ptr<dz::ui::Window> window() const override { return window_; }
  void willTerminate(dz::ui::Application& application) override;
  void didRegisterForRemoteNotifications(dz::ui::Application& application,
                                         const std::vector<uint8_t>& deviceToken) override;

  // Called by the polls screen each time it is about to appear.
  void registerForNotifications();
  void applicationReceivedRemoteMessage(const dz::messaging::RemoteMessage& message) override;
  void didReceiveRemoteNotification(const dz::Value::Map& userInfo);

 private:
  AppDelegate() = default;
  std::shared_ptr<dz::ui::Window> window_;
};

// Registers the application's screens ("pollsVC", "createVC", "loginVC") in the storyboard
// "Main"; the application delegate does it at launch, tests before they make screens.
void registerMainStoryboard();

}  // namespace pollapp
