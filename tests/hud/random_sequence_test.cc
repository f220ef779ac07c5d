// Random interleavings of the class operations with the clock: nothing throws, every dismissal
// completes exactly once, and a last dismissal always leaves the overlay hidden and detached.
#include <gtest/gtest.h>

#include <random>

#include "platform/ui/keyboard.h"
#include "tests/hud/hud_fixture.h"

namespace dz::hud::test {
namespace {

TEST_F(HudTest, RandomSequencesSettleHiddenWithEveryCompletionOnce) {
  std::mt19937 random(20261207);
  std::vector<int> completions;
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  for (int round = 0; round < 3000; ++round) {
    switch (pick(12)) {
      case 0:
        ProgressHUD::showWithStatus(pick(2) ? Status("working") : std::nullopt);
        break;
      case 1:
        ProgressHUD::showProgress(static_cast<float>(pick(5)) / 4, "upload");
        break;
      case 2:
        ProgressHUD::showSuccessWithStatus("done");
        break;
      case 3:
        ProgressHUD::showErrorWithStatus("failed", ProgressHUDMaskType::Gradient);
        break;
      case 4:
        ProgressHUD::popActivity();
        break;
      case 5: {
        size_t index = completions.size();
        completions.push_back(0);
        ProgressHUD::dismissWithDelay(pick(3) * 0.1,
                                      [&completions, index] { ++completions[index]; });
        break;
      }
      case 6:
        ProgressHUD::setFadeInAnimationDuration(pick(2) ? 0.15f : 0);
        break;
      case 7:
        ProgressHUD::setFadeOutAnimationDuration(pick(2) ? 0.15f : 0);
        break;
      case 8:
        if (pick(2)) {
          ui::Keyboard::shared().show(216, 0.25);
        } else {
          ui::Keyboard::shared().hide(0.25);
        }
        break;
      case 9:
        ProgressHUD::setStatus("changed");
        break;
      default:
        advance(pick(300) / 1000.0);
        break;
    }
  }
  ProgressHUD::dismiss();
  advance(10);
  EXPECT_FALSE(ProgressHUD::isVisible());
  EXPECT_EQ(hud_->activityCount(), 0u);
  EXPECT_EQ(hud_->controlView()->superview(), nullptr);
  EXPECT_FALSE(hud_->hasFadeOutTimer());
  for (size_t i = 0; i < completions.size(); ++i) {
    EXPECT_EQ(completions[i], 1) << "dismissal " << i;
  }
}

}  // namespace
}  // namespace dz::hud::test
