// The show and dismiss sequences on the manual clock: durations, the activity count, the
// notifications, and the faults mended in them.
#include <gtest/gtest.h>

#include <thread>

#include "platform/exception.h"
#include "platform/ui/accessibility.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/renderer.h"
#include "tests/hud/hud_fixture.h"

namespace dz::hud::test {
namespace {

using Names = std::vector<std::string>;

TEST_F(HudTest, SuccessStaysFiveSecondsThenFadesOut) {
  ProgressHUD::showSuccessWithStatus("poll sent!");
  EXPECT_FALSE(ProgressHUD::isVisible());  // queued, not yet run
  advance(0.2);
  EXPECT_EQ(posted_,
            (Names{kProgressHUDWillAppearNotification, kProgressHUDDidAppearNotification}));
  EXPECT_EQ(postedInfo_[0].at(kProgressHUDStatusUserInfoKey), Value("poll sent!"));
  advance(4.7);
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 0u);
  advance(0.11);
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 1u);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 0u);  // fading out over 0.15 s
  advance(0.16);
  EXPECT_EQ(posted_.back(), kProgressHUDDidDisappearNotification);
  EXPECT_FALSE(ProgressHUD::isVisible());
  EXPECT_EQ(hud_->controlView()->superview(), nullptr);
}

TEST_F(HudTest, DisplayDurationGrowsWithTheText) {
  EXPECT_EQ(ProgressHUD::displayDurationForString(std::string(75, 'x')), 5);
  EXPECT_DOUBLE_EQ(ProgressHUD::displayDurationForString(std::string(100, 'x')), 6.5);
  // UTF-16 units: a character beyond the basic plane counts two.
  EXPECT_DOUBLE_EQ(ProgressHUD::displayDurationForString(std::string(100, 'x')),
                   ProgressHUD::displayDurationForString(std::string(98, 'x') + "\U0001F600"));
  ProgressHUD::setMinimumDismissTimeInterval(0);
  ProgressHUD::setMaximumDismissTimeInterval(2);
  EXPECT_EQ(ProgressHUD::displayDurationForString(std::string(100, 'x')), 2);
  EXPECT_EQ(ProgressHUD::displayDurationForString(std::nullopt), 0.5);
}

TEST_F(HudTest, SpinnersCountUntilPoppedAndOneDismissEndsThem) {
  ProgressHUD::showWithStatus("a");
  ProgressHUD::showWithStatus("b");
  advance(0.2);
  EXPECT_EQ(hud_->activityCount(), 2u);
  ProgressHUD::popActivity();
  advance(0.5);
  EXPECT_TRUE(ProgressHUD::isVisible());
  ProgressHUD::popActivity();
  advance(0.5);
  EXPECT_FALSE(ProgressHUD::isVisible());
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 1u);
  // A pop at zero dismisses again, with both notifications.
  ProgressHUD::popActivity();
  advance(0.5);
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 2u);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 2u);

  ProgressHUD::showWithStatus("c");
  ProgressHUD::showWithStatus("d");
  advance(0.2);
  ProgressHUD::dismiss();
  advance(0.5);
  EXPECT_FALSE(ProgressHUD::isVisible());
  EXPECT_EQ(hud_->activityCount(), 0u);
}

TEST_F(HudTest, PopInTheTurnOfItsShowDismissesAfterTheShow) {
  ProgressHUD::showWithStatus("a");
  ProgressHUD::popActivity();  // the count is still 0
  advance(0.5);
  EXPECT_FALSE(ProgressHUD::isVisible());
  EXPECT_EQ(posted_.front(), kProgressHUDWillAppearNotification);
  EXPECT_EQ(posted_.back(), kProgressHUDDidDisappearNotification);
}

TEST_F(HudTest, ProgressCountsOnlyAtZero) {
  ProgressHUD::showProgress(0);
  ProgressHUD::showProgress(0.5);
  ProgressHUD::showProgress(1);
  advance(0.2);
  EXPECT_EQ(hud_->activityCount(), 1u);
  EXPECT_EQ(hud_->ringView()->strokeEnd(), 1);
  EXPECT_EQ(hud_->ringView()->superview(), hud_->hudVibrancyView()->contentView().get());
  EXPECT_EQ(hud_->indefiniteAnimatedView()->superview(), nullptr);
}

TEST_F(HudTest, ErrorReplacesTheSpinnerAndDismissesItself) {
  ProgressHUD::showWithStatus("sending poll");
  advance(0.2);
  ProgressHUD::showErrorWithStatus("failed");
  advance(0.2);
  EXPECT_EQ(hud_->indefiniteAnimatedView()->superview(), nullptr);
  EXPECT_FALSE(hud_->imageView()->isHidden());
  EXPECT_EQ(hud_->imageView()->image()->pixels(), hud_->errorImage()->pixels());
  EXPECT_TRUE(hud_->imageView()->image()->isTemplate());
  EXPECT_EQ(hud_->statusLabel()->text(), Status("failed"));
  advance(5);
  EXPECT_FALSE(ProgressHUD::isVisible());
}

TEST_F(HudTest, SpinnerAfterAnImageCancelsItsTimerAndStays) {
  ProgressHUD::showInfoWithStatus("updating location");
  advance(0.2);
  ProgressHUD::showWithStatus("logging in");
  advance(0.2);
  EXPECT_FALSE(hud_->hasFadeOutTimer());
  EXPECT_EQ(hud_->activityCount(), 1u);  // counting starts afresh after an image
  advance(10);
  EXPECT_TRUE(ProgressHUD::isVisible());
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 0u);
}

// Mended: a dismissal withdraws the image show's own pending dismissal, which would otherwise
// fade out whatever shows next and post both disappear notifications a second time.
TEST_F(HudTest, DismissWithdrawsThePendingImageDismissal) {
  ProgressHUD::showSuccessWithStatus("poll sent!");
  advance(1);
  ProgressHUD::dismiss();
  advance(1);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 1u);
  EXPECT_FALSE(hud_->hasFadeOutTimer());
  ProgressHUD::showWithStatus("sending poll");
  advance(10);
  EXPECT_TRUE(ProgressHUD::isVisible());
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 1u);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 1u);
}

// Mended: a dismissal whose fade-out a show interrupts still calls its completion.
TEST_F(HudTest, ShowDuringFadeOutFadesBackInAndTheDismissalStillCompletes) {
  ProgressHUD::showWithStatus("a");
  advance(0.2);
  int completions = 0;
  ProgressHUD::dismissWithCompletion([&] { ++completions; });
  advance(0.05);  // fading out
  ProgressHUD::showWithStatus("b");
  advance(0.5);
  EXPECT_TRUE(ProgressHUD::isVisible());
  EXPECT_EQ(count(kProgressHUDWillAppearNotification), 2u);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 0u);
  EXPECT_EQ(completions, 1);
  EXPECT_NE(hud_->controlView()->superview(), nullptr);
}

TEST_F(HudTest, DismissalDelayAndCompletion) {
  ProgressHUD::showWithStatus("a");
  advance(0.2);
  bool done = false;
  ProgressHUD::dismissWithDelay(1, [&] { done = true; });
  advance(0.01);
  EXPECT_EQ(count(kProgressHUDWillDisappearNotification), 1u);  // at once, before the delay
  advance(0.9);
  EXPECT_TRUE(ProgressHUD::isVisible());
  advance(0.3);
  EXPECT_TRUE(done);
  EXPECT_FALSE(ProgressHUD::isVisible());
  // A dismissal while hidden still runs through both notifications and its completion.
  done = false;
  ProgressHUD::dismissWithCompletion([&] { done = true; });
  advance(0.3);
  EXPECT_TRUE(done);
  EXPECT_EQ(count(kProgressHUDDidDisappearNotification), 2u);
}

TEST_F(HudTest, WithoutFadeInTheQueuedShowAppearsAtOnce) {
  ProgressHUD::setFadeInAnimationDuration(0);
  ProgressHUD::showWithStatus("a");
  pump();
  EXPECT_EQ(posted_,
            (Names{kProgressHUDWillAppearNotification, kProgressHUDDidAppearNotification}));
  auto announced = ui::Accessibility::posted();
  ASSERT_FALSE(announced.empty());
  EXPECT_EQ(announced.back(),
            (ui::AccessibilityPost{ui::AccessibilityNotification::Announcement, std::string("a")}));
}

TEST_F(HudTest, ForegroundColorSwitchesToTheCustomStyle) {
  ProgressHUD::setForegroundColor(ui::Color::rgb255(144, 19, 254));
  EXPECT_EQ(hud_->defaultStyle(), ProgressHUDStyle::Custom);
  EXPECT_EQ(hud_->foregroundColorForStyle(), ui::Color::rgb255(144, 19, 254));
  ProgressHUD::showWithStatus("a");
  advance(0.2);
  EXPECT_EQ(hud_->statusLabel()->textColor(), ui::Color::rgb255(144, 19, 254));
  EXPECT_FALSE(hud_->hudView()->effect());
  EXPECT_EQ(hud_->hudView()->alpha(), 1);
  ProgressHUD::setDefaultStyle(ProgressHUDStyle::Light);
}

// Mended: the variants with a mask type show with that mask; before, the queued show read the
// default after it had been put back.
TEST_F(HudTest, MaskTypeVariantsShowWithTheirMask) {
  ProgressHUD::showWithStatus("a", ProgressHUDMaskType::Black);
  EXPECT_EQ(hud_->defaultMaskType(), ProgressHUDMaskType::None);
  advance(0.2);
  EXPECT_EQ(hud_->maskType(), ProgressHUDMaskType::Black);
  EXPECT_TRUE(hud_->controlView()->isUserInteractionEnabled());
  EXPECT_EQ(hud_->backgroundView()->backgroundColor(), ui::Color::white(0, 0.4));

  ProgressHUD::showErrorWithStatus("b", ProgressHUDMaskType::Custom);
  advance(0.2);
  EXPECT_EQ(hud_->backgroundView()->backgroundColor(), ui::Color::white(0, 0.4));
  ProgressHUD::showWithStatus("c");
  advance(0.2);
  EXPECT_EQ(hud_->maskType(), ProgressHUDMaskType::None);
  EXPECT_FALSE(hud_->controlView()->isUserInteractionEnabled());
}

// Mended: a mask of none or clear takes away what an earlier mask put behind the box.
TEST_F(HudTest, ClearingTheMaskClearsItsColourAndGradient) {
  ProgressHUD::showWithStatus("a", ProgressHUDMaskType::Gradient);
  advance(0.2);
  auto gradient = hud_->backgroundRadialGradientLayer();
  ASSERT_TRUE(gradient);
  EXPECT_EQ(gradient->superlayer(), hud_->backgroundView()->layer().get());
  ProgressHUD::showWithStatus("b", ProgressHUDMaskType::None);
  advance(0.2);
  EXPECT_EQ(gradient->superlayer(), nullptr);

  ProgressHUD::showWithStatus("c", ProgressHUDMaskType::Black);
  advance(0.2);
  ProgressHUD::showWithStatus("d", ProgressHUDMaskType::Clear);
  advance(0.2);
  EXPECT_EQ(hud_->backgroundView()->backgroundColor(), ui::Color::clear());
  EXPECT_TRUE(hud_->controlView()->isUserInteractionEnabled());
}

// Mended: the gradient draws again when its frame or centre changes, instead of showing the old
// drawing stretched.
TEST_F(HudTest, GradientRedrawsWhenTheKeyboardMovesItsCentre) {
  ProgressHUD::showWithStatus("a", ProgressHUDMaskType::Gradient);
  advance(0.2);
  ui::Renderer::render(*window_, 1);
  auto gradient = hud_->backgroundRadialGradientLayer();
  uint64_t draws = gradient->displayCount();
  EXPECT_EQ(gradient->gradientCenter(), (ui::Point{187.5, 333.5}));
  ui::Keyboard::shared().show(216, 0.25);
  advance(0.3);
  hud_->backgroundView();  // the mask styling runs on access, as every show does
  EXPECT_EQ(gradient->gradientCenter(), (ui::Point{187.5, (667 - 216) / 2.0}));
  ui::Renderer::render(*window_, 1);
  EXPECT_EQ(gradient->displayCount(), draws + 1);
}

TEST_F(HudTest, ClassOperationsOffTheMainThreadThrow) {
  std::string name;
  std::thread([&] {
    try {
      ProgressHUD::showWithStatus("x");
    } catch (const dz::Exception& e) {
      name = e.name();
    }
  }).join();
  EXPECT_EQ(name, kInternalInconsistencyException);
}

TEST_F(HudTest, TouchesOnTheMaskAreReported) {
  ProgressHUD::showWithStatus("a", ProgressHUDMaskType::Clear);
  advance(0.2);
  std::vector<std::string> touches;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto t1 = center.addObserver(kProgressHUDDidReceiveTouchEventNotification, nullptr, nullptr,
                               [&](const platform::Notification& n) { touches.push_back(n.name); });
  auto t2 = center.addObserver(kProgressHUDDidTouchDownInsideNotification, nullptr, nullptr,
                               [&](const platform::Notification& n) { touches.push_back(n.name); });
  window_->tap(hud_->hudView()->center());
  window_->tap({10, 600});
  EXPECT_EQ(touches, (Names{kProgressHUDDidReceiveTouchEventNotification,
                            kProgressHUDDidTouchDownInsideNotification,
                            kProgressHUDDidReceiveTouchEventNotification}));
  // Without a mask, touches pass to the screen below.
  touches.clear();
  ProgressHUD::showWithStatus("b");
  advance(0.2);
  window_->tap(hud_->hudView()->center());
  EXPECT_TRUE(touches.empty());
  center.removeObserver(t1);
  center.removeObserver(t2);
}

}  // namespace
}  // namespace dz::hud::test

namespace dz::hud::test {
namespace {

TEST_F(HudTest, NoStatusMeansNoUserInfoAndTheBoxAnnouncesItself) {
  ProgressHUD::show();
  advance(0.2);
  ASSERT_EQ(postedInfo_.size(), 2u);
  EXPECT_TRUE(postedInfo_[0].empty());
  // Without a mask the box is the accessibility element; with one, the whole overlay.
  EXPECT_TRUE(hud_->hudView()->isAccessibilityElement());
  ProgressHUD::showWithStatus("busy", ProgressHUDMaskType::Black);
  advance(0.2);
  EXPECT_EQ(hud_->accessibilityLabel(), std::optional<std::string>("busy"));
}

TEST_F(HudTest, DarkAndCustomStylesColourTheBoxAndTheMask) {
  ProgressHUD::setDefaultStyle(ProgressHUDStyle::Dark);
  ProgressHUD::showWithStatus("a");
  advance(0.2);
  EXPECT_EQ(hud_->hudView()->effect(), ui::VisualEffect::blur(ui::BlurStyle::Dark));
  EXPECT_EQ(hud_->hudVibrancyView()->effect(),
            ui::VisualEffect::vibrancy(ui::VisualEffect::blur(ui::BlurStyle::Dark)));
  EXPECT_EQ(hud_->statusLabel()->textColor(), ui::Color::whiteColor());
  ProgressHUD::setFadeOutAnimationDuration(0);
  ProgressHUD::dismiss();
  advance(0.1);
  EXPECT_FALSE(hud_->hudView()->effect());

  ProgressHUD::setDefaultStyle(ProgressHUDStyle::Light);
  ProgressHUD::setBackgroundLayerColor(ui::Color::rgb(0, 0, 1, 0.2));
  ProgressHUD::showWithStatus("b", ProgressHUDMaskType::Custom);
  advance(0.2);
  EXPECT_EQ(hud_->backgroundView()->backgroundColor(), ui::Color::rgb(0, 0, 1, 0.2));
  ProgressHUD::setBackgroundLayerColor(ui::Color::white(0, 0.4));
}

TEST_F(HudTest, KeyboardNotificationsAreObservedOnlyWhileShown) {
  ui::Keyboard::shared().show(300, 0);
  advance(0.1);
  ProgressHUD::showWithStatus("a");
  advance(0.2);
  // Placed against the keyboard already on screen.
  EXPECT_EQ(hud_->hudView()->center().y, std::floor(0.45f * (667 + 40 - 300)));
  ProgressHUD::dismiss();
  advance(0.5);
  ui::Keyboard::shared().hide(0);
  advance(0.1);
  EXPECT_EQ(hud_->hudView()->center().y, std::floor(0.45f * (667 + 40 - 300)));  // not observed
}

}  // namespace
}  // namespace dz::hud::test
