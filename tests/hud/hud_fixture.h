// Shared set-up of the overlay's tests: the UI clock, an application whose delegate has a main
// window showing a sample screen (a feed of poll cards), the overlay back in its hidden state with
// default settings, and a record of its notifications.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hud/progress_hud.h"
#include "platform/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/table_view.h"
#include "platform/ui/view_controller.h"
#include "tests/platform/ui/ui_test_clock.h"

namespace dz::hud::test {

using ui::test::advance;
using ui::test::pump;

class SampleDelegate : public ui::ApplicationDelegate {
 public:
  std::shared_ptr<ui::Window> window() const override { return window_; }
  std::shared_ptr<ui::Window> window_;
};

// The polls feed as the overlay's pictures show it behind the box.
std::shared_ptr<ui::ViewController> makeSampleScreen();

class HudTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Names of the overlay's appearance notifications posted since SetUp, in order.
  std::vector<std::string> posted_;
  std::vector<Value::Map> postedInfo_;
  size_t count(const std::string& name) const;

  std::shared_ptr<ProgressHUD> hud_;
  std::shared_ptr<SampleDelegate> delegate_;
  std::shared_ptr<ui::Window> window_;

 private:
  std::vector<platform::NotificationCenter::ObserverToken> observers_;
};

}  // namespace dz::hud::test
