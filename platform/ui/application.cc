#include "platform/ui/application.h"

#include <algorithm>

#include "platform/notification_center.h"
#include "platform/run_loop.h"

namespace dz::ui {

Application& Application::shared() {
  static Application* app = new Application();  // lives until exit
  return *app;
}

std::vector<Window*> Application::windows() const {
  std::vector<Window*> ordered = windows_;
  std::stable_sort(ordered.begin(), ordered.end(), [](const Window* a, const Window* b) {
    return a->windowLevel() < b->windowLevel();
  });
  return ordered;
}

void Application::setStatusBarOrientation(InterfaceOrientation orientation) {
  orientation_ = orientation;
  post(kApplicationDidChangeStatusBarOrientationNotification);
}

Rect Application::statusBarFrame() const {
  Rect screen = Screen::main().bounds();
  bool portrait = isPortrait(orientation_);
  return Rect::make(0, 0, portrait ? screen.width() : screen.height(), statusBarHeight_);
}

bool Application::openURL(const std::string& url) {
  openedURLs_.push_back(url);
  return true;
}

void Application::post(const char* name) {
  platform::NotificationCenter::defaultCenter().post(name, this);
}

bool Application::launch(std::shared_ptr<ApplicationDelegate> delegate, const Value::Map& options) {
  delegate_ = std::move(delegate);
  state_ = ApplicationState::Inactive;
  bool launched = delegate_ ? delegate_->didFinishLaunching(*this, options) : true;
  post(kApplicationDidFinishLaunchingNotification);
  becomeActive();
  return launched;
}

int Application::main(std::shared_ptr<ApplicationDelegate> delegate) {
  launch(std::move(delegate));
  platform::RunLoop::main().run();
  return 0;
}

void Application::resignActive() {
  if (state_ != ApplicationState::Active) return;
  state_ = ApplicationState::Inactive;
  if (delegate_) delegate_->willResignActive(*this);
  post(kApplicationWillResignActiveNotification);
}

void Application::enterBackground() {
  resignActive();
  if (state_ == ApplicationState::Background) return;
  state_ = ApplicationState::Background;
  if (delegate_) delegate_->didEnterBackground(*this);
  post(kApplicationDidEnterBackgroundNotification);
}

void Application::enterForeground() {
  if (state_ != ApplicationState::Background) return;
  state_ = ApplicationState::Inactive;
  if (delegate_) delegate_->willEnterForeground(*this);
  post(kApplicationWillEnterForegroundNotification);
}

void Application::becomeActive() {
  enterForeground();
  if (state_ == ApplicationState::Active) return;
  state_ = ApplicationState::Active;
  if (delegate_) delegate_->didBecomeActive(*this);
  post(kApplicationDidBecomeActiveNotification);
}

void Application::terminate() {
  if (delegate_) delegate_->willTerminate(*this);
  post(kApplicationWillTerminateNotification);
}

void Application::deliverDeviceToken(const std::vector<uint8_t>& token) {
  if (delegate_) delegate_->didRegisterForRemoteNotifications(*this, token);
}

void Application::reset() {
  delegate_.reset();
  keyWindow_ = nullptr;
  state_ = ApplicationState::Active;
  orientation_ = InterfaceOrientation::Portrait;
  statusBarHeight_ = 20;
  openedURLs_.clear();
  notificationSettings_.clear();
}

}  // namespace dz::ui
