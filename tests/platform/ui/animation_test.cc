// Layer animations and view animation blocks on the manual UI clock: the model value changes at
// once, the presented value follows the clock, and completions say whether they finished.
#include "platform/ui/animation.h"

#include <gtest/gtest.h>

#include <numbers>

#include "platform/exception.h"
#include "platform/ui/layer.h"
#include "platform/ui/view.h"
#include "tests/platform/ui/ui_test_clock.h"

namespace dz::ui {
namespace {

using test::advance;
using test::pump;

TEST(AnimationTest, BlockSetsTheModelAtOnceAndThePresentationFollowsTheClock) {
  auto parent = std::make_shared<View>(Rect::make(0, 0, 100, 100));
  auto view = std::make_shared<View>(Rect::make(0, 0, 10, 10));
  parent->addSubview(view);
  std::vector<bool> finished;
  View::animate(
      1.0, 0, kAnimationCurveLinear, [&] { view->setAlpha(0); },
      [&](bool done) { finished.push_back(done); });
  EXPECT_EQ(view->alpha(), 0);
  EXPECT_EQ(view->layer()->presentation().opacity, 1);
  advance(0.25);
  EXPECT_NEAR(view->layer()->presentation().opacity, 0.75, 1e-9);
  EXPECT_TRUE(finished.empty());
  advance(0.8);
  EXPECT_EQ(finished, std::vector<bool>{true});
  EXPECT_EQ(view->layer()->presentation().opacity, 0);
  EXPECT_TRUE(view->layer()->animationKeys().empty());
}

TEST(AnimationTest, ReplacedAnimationFinishesFalseAndBeginsFromTheCurrentState) {
  auto view = std::make_shared<View>(Rect::make(0, 0, 10, 10));
  std::vector<bool> first, second;
  View::animate(
      1.0, 0, kAnimationCurveLinear, [&] { view->setAlpha(0); },
      [&](bool done) { first.push_back(done); });
  advance(0.5);
  View::animate(
      1.0, 0, kAnimationBeginFromCurrentState | kAnimationCurveLinear, [&] { view->setAlpha(1); },
      [&](bool done) { second.push_back(done); });
  pump();
  EXPECT_EQ(first, std::vector<bool>{false});
  EXPECT_NEAR(view->layer()->presentation().opacity, 0.5, 1e-9);  // from where it was
  advance(0.5);
  EXPECT_NEAR(view->layer()->presentation().opacity, 0.75, 1e-9);
  advance(0.6);
  EXPECT_EQ(second, std::vector<bool>{true});
}

TEST(AnimationTest, DelayHoldsTheStartValueAndNothingToAnimateStillCompletes) {
  auto view = std::make_shared<View>(Rect::make(0, 0, 10, 10));
  View::animate(0.5, 1.0, kAnimationCurveLinear, [&] { view->setCenter({100, 0}); });
  advance(0.9);
  EXPECT_EQ(view->layer()->presentation().position, (Point{5, 5}));
  advance(0.35);
  EXPECT_NEAR(view->layer()->presentation().position.x, 5 + 95 * 0.5, 1.5);

  bool completed = false;
  View::animate(
      0.5, [] {}, [&](bool done) { completed = done; });
  EXPECT_FALSE(completed);  // not inside the caller's turn
  pump();
  EXPECT_TRUE(completed);
}

TEST(AnimationTest, RepeatingGroupAndRotationFollowTheirCycle) {
  auto layer = ShapeLayer::create();
  AnimationGroup group;
  group.duration = 1;
  group.repeatCount = kRepeatForever;
  auto end = std::make_shared<BasicAnimation>("strokeEnd");
  end->fromValue = 0.0;
  end->toValue = 1.0;
  group.animations = {end};
  layer->addAnimation(group, "progress");
  BasicAnimation spin("transform.rotation");
  spin.toValue = std::numbers::pi;
  spin.duration = 2;
  spin.repeatCount = kRepeatForever;
  layer->addAnimation(spin, "rotate");
  advance(2.25);
  LayerProperties now = layer->presentation();
  EXPECT_NEAR(now.strokeEnd, 0.25, 0.01);
  EXPECT_NEAR(now.transform.rotation(), std::numbers::pi / 8, 0.01);
  EXPECT_EQ(layer->strokeEnd(), 1);  // the model is untouched
}

TEST(AnimationTest, FillForwardsKeepsTheEndValueOnlyWhenNotRemoved) {
  auto layer = Layer::create();
  BasicAnimation fade("opacity");
  fade.fromValue = 1.0;
  fade.toValue = 0.2;
  fade.duration = 0.5;
  fade.removedOnCompletion = false;
  fade.fillMode = FillMode::Forwards;
  bool stopped = false;
  fade.didStop = [&](bool finished) { stopped = finished; };
  layer->addAnimation(fade, "fade");
  advance(1);
  EXPECT_TRUE(stopped);
  EXPECT_NEAR(layer->presentation().opacity, 0.2, 1e-9);
  layer->removeAnimation("fade");
  EXPECT_EQ(layer->presentation().opacity, 1);
  EXPECT_THROW(layer->addAnimation(BasicAnimation("nonsense"), "x"), dz::Exception);
}

TEST(AnimationTest, LayersOfTheirOwnAnimateImplicitlyUnlessDisabled) {
  auto parent = Layer::create();
  auto ring = ShapeLayer::create();
  ring->setStrokeEnd(0.2);  // no superlayer yet: at once
  parent->addSublayer(ring);
  EXPECT_EQ(ring->presentation().strokeEnd, 0.2);
  ring->setStrokeEnd(1);
  EXPECT_NEAR(ring->presentation().strokeEnd, 0.2, 1e-9);
  advance(0.3);
  EXPECT_EQ(ring->presentation().strokeEnd, 1);
  {
    Transaction::DisableActions still;
    ring->setStrokeEnd(0.5);
  }
  EXPECT_EQ(ring->presentation().strokeEnd, 0.5);
  // A view's own layer changes at once outside animation blocks.
  auto view = std::make_shared<View>();
  auto holder = std::make_shared<View>();
  holder->addSubview(view);
  view->setAlpha(0.3);
  EXPECT_EQ(view->layer()->presentation().opacity, 0.3);
}

TEST(AnimationTest, ColoursFadeFromClearWithoutPassingThroughBlack) {
  Color mid = std::get<Color>(interpolate(Color::clear(), Color::whiteColor(), 0.5));
  EXPECT_EQ(mid.red, 1);
  EXPECT_EQ(mid.alpha, 0.5);
}

}  // namespace
}  // namespace dz::ui
