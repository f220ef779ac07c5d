// Fixture of the screen tests: the stores' fixture (development server, devices with their own
// app, center and defaults) plus the headless UI: an application whose delegate has a window, the
// Main storyboard registered, and the screens made over one device's services. The UI layer runs
// on the system clock here; waits pump the main run loop until a condition holds.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/app_delegate.h"
#include "app/app_services.h"
#include "hud/progress_hud.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "tests/app/app_fixture.h"

namespace pollapp::testing {

inline AppServices servicesFor(Device& device) {
  return {[environment = device.environment] { return environment; },
          [&device] { return device.users; }, [&device] { return device.polls; },
          [&device] { return device.notifications; }, [&device] { return device.locations; }};
}

class WindowDelegate : public dz::ui::ApplicationDelegate {
 public:
  std::shared_ptr<dz::ui::Window> window() const override { return window_; }
  std::shared_ptr<dz::ui::Window> window_ = std::make_shared<dz::ui::Window>();
};

class ScreenTest : public AppServerTest {
 protected:
  void SetUp() override {
    AppServerTest::SetUp();
    dz::ui::Application::shared().reset();
    dz::ui::Application::shared().setDelegate(delegate_);
    registerMainStoryboard();
  }
  void TearDown() override {
    delegate_->window_->setRootViewController(nullptr);
    dz::hud::ProgressHUD::dismiss();
    waitFor([] { return !dz::hud::ProgressHUD::isVisible(); });
    dz::ui::Application::shared().reset();
    AppServices::current() = AppServices::shared();
    AppServerTest::TearDown();
  }

  // Screens made from now on (and the ones they make) use `device`.
  void use(Device& device) { AppServices::current() = servicesFor(device); }

  // Makes `screen` the window's root and puts it on screen.
  template <class Screen>
  std::shared_ptr<Screen> show(std::shared_ptr<Screen> screen) {
    delegate_->window_->setRootViewController(screen);
    delegate_->window_->makeKeyAndVisible();
    return screen;
  }

  // The overlay's text once it shows `status`.
  static bool hudShows(const std::string& status) {
    return waitFor([&] {
      return dz::hud::ProgressHUD::isVisible() &&
             dz::hud::ProgressHUD::sharedView()->statusLabel()->text() == status;
    });
  }

  std::shared_ptr<WindowDelegate> delegate_ = std::make_shared<WindowDelegate>();
};

}  // namespace pollapp::testing
