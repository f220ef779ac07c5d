// Application: the process's application object. It holds the delegate, the windows and the key
// window, the application state and the status bar, records the URLs it is asked to open, and
// simulates the life cycle (launch, resign, background, foreground, activation, termination),
// calling the delegate and posting the platform's notifications on the default notification
// center. Main thread only; lives until exit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/application_notifications.h"
#include "platform/ui/window.h"
#include "platform/value.h"

namespace dz::ui {

class Application;

// The life-cycle names live in platform/ for the layers below this one.
using platform::kApplicationDidBecomeActiveNotification;
using platform::kApplicationDidEnterBackgroundNotification;
using platform::kApplicationDidFinishLaunchingNotification;
using platform::kApplicationWillEnterForegroundNotification;
using platform::kApplicationWillResignActiveNotification;
using platform::kApplicationWillTerminateNotification;
inline constexpr char kApplicationDidChangeStatusBarOrientationNotification[] =
    "UIApplicationDidChangeStatusBarOrientationNotification";

enum class ApplicationState { Active, Inactive, Background };
enum class InterfaceOrientation {
  Unknown = 0,
  Portrait = 1,
  PortraitUpsideDown = 2,
  LandscapeRight = 3,
  LandscapeLeft = 4
};

inline bool isPortrait(InterfaceOrientation o) {
  return o == InterfaceOrientation::Portrait || o == InterfaceOrientation::PortraitUpsideDown;
}

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual bool didFinishLaunching(Application&, const Value::Map& /*options*/) { return true; }
  // The application's main window.
  virtual std::shared_ptr<Window> window() const { return nullptr; }
  virtual void willResignActive(Application&) {}
  virtual void didEnterBackground(Application&) {}
  virtual void willEnterForeground(Application&) {}
  virtual void didBecomeActive(Application&) {}
  virtual void willTerminate(Application&) {}
  virtual void didRegisterForRemoteNotifications(Application&,
                                                 const std::vector<uint8_t>& /*deviceToken*/) {}
};

class Application {
 public:
  static Application& shared();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  const std::shared_ptr<ApplicationDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  // The existing windows by level, in the order they were made within a level.
  std::vector<Window*> windows() const;
  Window* keyWindow() const { return keyWindow_; }

  ApplicationState state() const { return state_; }
  InterfaceOrientation statusBarOrientation() const { return orientation_; }
  // Posts the orientation-change notification.
  void setStatusBarOrientation(InterfaceOrientation orientation);
  Rect statusBarFrame() const;
  double statusBarHeight() const { return statusBarHeight_; }
  void setStatusBarHeight(double height) { statusBarHeight_ = height; }

  // Records the URL; returns true (there is always someone to open it here).
  bool openURL(const std::string& url);
  const std::vector<std::string>& openedURLs() const { return openedURLs_; }
  // Notification-settings registrations (type bits), recorded.
  void registerUserNotificationSettings(unsigned types) { notificationSettings_.push_back(types); }
  const std::vector<unsigned>& notificationSettingsRegistrations() const {
    return notificationSettings_;
  }

  // Life cycle. launch() sets the delegate, calls didFinishLaunching and makes the application
  // active; main() does that and then runs the main run loop until it is stopped.
  bool launch(std::shared_ptr<ApplicationDelegate> delegate, const Value::Map& options = {});
  int main(std::shared_ptr<ApplicationDelegate> delegate);
  void resignActive();
  void enterBackground();
  void enterForeground();
  void becomeActive();
  void terminate();
  // The platform handing over a push device token.
  void deliverDeviceToken(const std::vector<uint8_t>& token);

  // Back to a fresh state (no delegate, active, portrait, nothing recorded), for tests.
  void reset();

 private:
  friend class Window;
  Application() = default;
  void post(const char* name);

  std::shared_ptr<ApplicationDelegate> delegate_;
  std::vector<Window*> windows_;
  Window* keyWindow_ = nullptr;
  ApplicationState state_ = ApplicationState::Active;
  InterfaceOrientation orientation_ = InterfaceOrientation::Portrait;
  double statusBarHeight_ = 20;
  std::vector<std::string> openedURLs_;
  std::vector<unsigned> notificationSettings_;
};

}  // namespace dz::ui
