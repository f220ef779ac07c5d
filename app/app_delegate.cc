#include "app/app_delegate.h"

#include <cmath>

#include "app/app_services.h"
#include "app/create_poll_view_controller.h"
#include "app/login_view_controller.h"
#include "app/polls_view_controller.h"
#include "app/update_manager.h"
#include "app/user_storage.h"
#include "auth/auth.h"
#include "core/app.h"
#include "platform/foundation_version.h"
#include "platform/log.h"
#include "platform/ui/view_controller.h"

namespace pollapp {

void registerMainStoryboard() {
  auto& storyboard = dz::ui::Storyboard::named(kMainStoryboard);
  storyboard.registerViewController(kPollsScreenIdentifier,
                                    [] { return std::make_shared<PollsViewController>(); });
  storyboard.registerViewController(kComposeScreenIdentifier,
                                    [] { return std::make_shared<CreatePollViewController>(); });
  storyboard.registerViewController(kLoginScreenIdentifier,
                                    [] { return std::make_shared<LoginViewController>(); });
}

std::shared_ptr<AppDelegate> AppDelegate::create() {
  return std::shared_ptr<AppDelegate>(new AppDelegate());
}

bool AppDelegate::didFinishLaunching(dz::ui::Application&, const dz::Value::Map&) {
  dz::auth::registerAuthLibrary();
  // A host (a test) may have configured the default app already.
  if (!dz::core::App::defaultApp()) dz::core::App::configure();
  Environment environment = AppServices::current().environment();
  if (!environment.defaults->boolForKey(kAlreadyInstalledDefault)) {
    // The key chain outlives a removed application: its user must not come back with it.
    environment.auth()->signOut();
  }
  environment.defaults->setBool(true, kAlreadyInstalledDefault);
  environment.defaults->synchronize();

  registerMainStoryboard();
  const char* first =
      environment.auth()->currentUser() ? kPollsScreenIdentifier : kLoginScreenIdentifier;
  window_ = std::make_shared<dz::ui::Window>();
  window_->setRootViewController(
      dz::ui::Storyboard::named(kMainStoryboard).instantiateViewController(first));
  window_->makeKeyAndVisible();
  UpdateManager::sharedManager()->checkForUpdates();
  return true;
}

namespace {

constexpr unsigned kBadgeSoundAlert =
    dz::ui::kNotificationBadge | dz::ui::kNotificationSound | dz::ui::kNotificationAlert;
// Platforms up to this Foundation version have no user-notification center.
constexpr double kLastFoundationWithoutCenter = 1299.0;

}  // namespace

void AppDelegate::registerForNotifications() {
  if (std::floor(dz::platform::foundationVersionNumber()) <= kLastFoundationWithoutCenter) {
    dz::ui::Application::shared().registerUserNotificationSettings(kBadgeSoundAlert);
    return;
  }
  auto& center = dz::ui::UserNotificationCenter::current();
  center.requestAuthorization(kBadgeSoundAlert, [](bool, dz::ErrorPtr) {});
  center.setDelegate(weak_from_this());
  dz::messaging::Messaging::messaging().setRemoteMessageDelegate(weak_from_this());
}

void AppDelegate::didRegisterForRemoteNotifications(dz::ui::Application&,
                                                    const std::vector<uint8_t>& deviceToken) {
  // The store logs the token as it writes it.
  storeDeviceToken(AppServices::current().environment(), deviceToken);
}

void AppDelegate::applicationReceivedRemoteMessage(const dz::messaging::RemoteMessage& message) {
  dz::platform::logLine("Received VCM message: " + dz::Value(message.appData()).toJsonString());
  didReceiveRemoteNotification(message.appData());
}

void AppDelegate::didReceiveRemoteNotification(const dz::Value::Map&) {}

void AppDelegate::willTerminate(dz::ui::Application&) {
  AppServices::current().environment().rootRef().removeAllObservers();
}

}  // namespace pollapp
