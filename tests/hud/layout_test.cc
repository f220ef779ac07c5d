// Sizes and places of the overlay's box, content and rings.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/ui/keyboard.h"
#include "tests/hud/hud_fixture.h"

namespace dz::hud::test {
namespace {

// The status font sets 9 points a character and 18 a line (15-point subheadline).
constexpr double kCharWidth = 9;
constexpr double kLineHeight = 18;

TEST_F(HudTest, SpinnerBoxFitsTheTextAndTheRing) {
  ProgressHUD::showWithStatus("logging in");
  pump();
  EXPECT_EQ(hud_->indefiniteAnimatedView()->frame().size, (ui::Size{48, 48}));
  double label = 10 * kCharWidth;
  EXPECT_EQ(hud_->hudView()->bounds().size,
            (ui::Size{12 + std::max(label, 48.0) + 12, 12 + kLineHeight + 48 + 12 + 8}));
  // The ring sits 12 below the top, the label 8 below the ring.
  EXPECT_EQ(hud_->indefiniteAnimatedView()->center().y, 12 + 24);
  EXPECT_EQ(hud_->statusLabel()->frame().minY(), 12 + 48 + 8);

  ProgressHUD::show();
  pump();
  EXPECT_EQ(hud_->indefiniteAnimatedView()->frame().size, (ui::Size{60, 60}));
  EXPECT_EQ(hud_->hudView()->bounds().size, (ui::Size{84, 84}));
  EXPECT_TRUE(hud_->statusLabel()->isHidden());
}

TEST_F(HudTest, ImageBoxFitsTheImageAndTheText) {
  ProgressHUD::showErrorWithStatus("no");
  pump();
  EXPECT_EQ(hud_->imageView()->frame().size, (ui::Size{28, 28}));
  EXPECT_EQ(hud_->hudView()->bounds().size, (ui::Size{52, 12 + kLineHeight + 28 + 12 + 8}));
  // Without an image only the text counts.
  ProgressHUD::showImage(nullptr, "no image");
  pump();
  EXPECT_EQ(hud_->hudView()->bounds().size,
            (ui::Size{12 + 8 * kCharWidth + 12, 12 + kLineHeight + 12}));
}

TEST_F(HudTest, MinimumSizeGrowsTheBoxAndCentresTheContent) {
  ProgressHUD::setMinimumSize({200, 200});
  ProgressHUD::showWithStatus("logging in");
  pump();
  EXPECT_EQ(hud_->hudView()->bounds().size, (ui::Size{200, 200}));
  double centerY = std::max(12.0, (200 - 48 - 8 - kLineHeight) / 2) + 24;
  EXPECT_EQ(hud_->indefiniteAnimatedView()->center(), (ui::Point{100, centerY}));
}

TEST_F(HudTest, LongTextWrapsWithin200PointsAndStopsAt300) {
  // 27 characters: 243 points on one line, so two lines within 200.
  ProgressHUD::showWithStatus("sending the poll to friends");
  pump();
  ui::Rect label = hud_->statusLabel()->frame();
  EXPECT_LE(label.width(), 200);
  EXPECT_EQ(label.height(), 2 * kLineHeight);

  std::string essay;
  for (int i = 0; i < 80; ++i) essay += "word ";
  ProgressHUD::showWithStatus(essay);
  pump();
  ui::Rect clipped = hud_->statusLabel()->frame();
  EXPECT_EQ(clipped.height(), std::floor(300 / kLineHeight) * kLineHeight);
  // The label draws the lines that fit, from the first, the last cut with an ellipsis.
  auto drawn = hud_->statusLabel()->layout(clipped.width(), clipped.height());
  EXPECT_EQ(drawn.lines.size(), 16u);
  EXPECT_EQ(drawn.lines.back().back(), U'\u2026');
  EXPECT_EQ(hud_->statusLabel()->baselineAdjustment(), ui::BaselineAdjustment::AlignCenters);
}

TEST_F(HudTest, KeyboardMovesTheBoxAboveIt) {
  ProgressHUD::showWithStatus("sending poll");
  advance(0.2);
  EXPECT_EQ(hud_->hudView()->center().y, std::floor(0.45 * 667));

  ui::Keyboard::shared().show(216, 0.25);
  double raised = std::floor(0.45f * (667 + 2 * 20 - 216));
  EXPECT_EQ(hud_->hudView()->center().y, raised);  // the model value moves at once
  advance(0.1);
  EXPECT_GT(hud_->hudView()->layer()->presentation().position.y, raised);  // still moving
  advance(0.2);
  EXPECT_EQ(hud_->hudView()->layer()->presentation().position.y, raised);

  ui::Keyboard::shared().hide(0.25);
  advance(0.3);
  EXPECT_EQ(hud_->hudView()->center().y, std::floor(0.45 * 667));
}

TEST_F(HudTest, OffsetMovesTheBoxUnlessAContainerHoldsIt) {
  ProgressHUD::setOffsetFromCenter({10, -20});
  ProgressHUD::showWithStatus("x");
  pump();
  EXPECT_EQ(hud_->hudView()->center(), (ui::Point{187.5 + 10, std::floor(0.45 * 667) - 20}));
  ProgressHUD::dismiss();
  advance(0.5);

  auto container = std::make_shared<ui::View>(ui::Rect::make(20, 40, 200, 100));
  window_->addSubview(container);
  ProgressHUD::setContainerView(container);
  ProgressHUD::showWithStatus("y");
  pump();
  EXPECT_EQ(hud_->controlView()->superview(), container.get());
  EXPECT_EQ(hud_->hudView()->center(), container->center());
}

TEST_F(HudTest, NoQualifyingWindowShowsNothingWhileTheStateRuns) {
  ProgressHUD::setMaxSupportedWindowLevel(-1);
  ProgressHUD::showWithStatus("x");
  advance(0.2);
  EXPECT_EQ(hud_->controlView()->superview(), nullptr);
  EXPECT_TRUE(ProgressHUD::isVisible());
  EXPECT_EQ(count(kProgressHUDDidAppearNotification), 1u);
  ProgressHUD::setMaxSupportedWindowLevel(ui::kWindowLevelNormal);
}

TEST(RingViewTest, GeometryFollowsRadiusAndThickness) {
  auto spinner = std::make_shared<IndefiniteAnimatedView>();
  spinner->setStrokeThickness(2);
  spinner->setRadius(18);
  EXPECT_EQ(spinner->sizeThatFits({}), (ui::Size{48, 48}));
  auto layer = spinner->ringLayer();
  EXPECT_EQ(layer->bounds().size, (ui::Size{48, 48}));
  ui::Rect arc = layer->path().boundingBox();
  EXPECT_NEAR(arc.midX(), 24, 0.1);
  EXPECT_NEAR(arc.midY(), 24, 0.1);
  EXPECT_NEAR(arc.width(), 36, 0.1);
  ASSERT_TRUE(layer->mask());
  EXPECT_TRUE(layer->mask()->animationForKey("rotate"));
  EXPECT_TRUE(layer->animationForKey("progress"));

  spinner->setRadius(24);
  EXPECT_EQ(spinner->sizeThatFits({}), (ui::Size{60, 60}));
}

TEST(RingViewTest, SameRadiusKeepsTheLayerAndANewOneStartsWhole) {
  auto parent = std::make_shared<ui::View>();
  auto ring = std::make_shared<ProgressAnimatedView>();
  ring->setStrokeThickness(2);
  ring->setRadius(18);
  parent->addSubview(ring);
  ring->setStrokeEnd(0.3);
  auto layer = ring->ringLayer();
  EXPECT_EQ(layer->strokeEnd(), 0.3);
  ring->setRadius(18);
  EXPECT_EQ(ring->ringLayer(), layer);
  ring->setRadius(24);
  EXPECT_NE(ring->ringLayer(), layer);
  EXPECT_EQ(ring->ringLayer()->strokeEnd(), 1);
  // Leaving the superview drops the layer.
  ring->removeFromSuperview();
  EXPECT_FALSE(ring->hasRingLayer());
}

TEST_F(HudTest, AnimationTypeSwitchReplacesTheSpinner) {
  ProgressHUD::showWithStatus("x");
  pump();
  auto flat = hud_->indefiniteAnimatedView();
  ProgressHUD::setDefaultAnimationType(ProgressHUDAnimationType::Native);
  ProgressHUD::showWithStatus("y");
  pump();
  auto native = hud_->indefiniteAnimatedView();
  EXPECT_NE(native, flat);
  EXPECT_EQ(flat->superview(), nullptr);
  EXPECT_STREQ(native->className(), "ActivityIndicatorView");
  EXPECT_EQ(native->frame().size, (ui::Size{37, 37}));
}

}  // namespace
}  // namespace dz::hud::test
