#include "hud/ring_views.h"

#include <numbers>

#include "hud/resource_bundle.h"
#include "platform/queue_check.h"
#include "platform/ui/window.h"

namespace dz::hud {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kMargin = 5;

}  // namespace

void RingView::setStrokeThickness(double thickness) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  strokeThickness_ = thickness;
  // The layer keeps its size and arc until it is rebuilt.
  if (ringLayer_) ringLayer_->setLineWidth(thickness);
}

void RingView::setRadius(double radius) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (radius == radius_) return;
  radius_ = radius;
  dropRingLayer();
  if (superview()) layoutAnimatedLayer();
}

void RingView::setStrokeColor(ui::Color color) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  strokeColor_ = color;
  if (ringLayer_) ringLayer_->setStrokeColor(color);
}

void RingView::setFrame(const ui::Rect& frame) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (frame == this->frame()) return;
  View::setFrame(frame);
  if (superview()) layoutAnimatedLayer();
}

void RingView::willMoveToSuperview(ui::View* newSuperview) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!newSuperview) {
    dropRingLayer();
  } else {
    layoutAnimatedLayer();
  }
}

void RingView::dropRingLayer() {
  if (!ringLayer_) return;
  ringLayer_->removeFromSuperlayer();
  ringLayer_.reset();
}

const std::shared_ptr<ui::ShapeLayer>& RingView::ringLayer() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!ringLayer_) ringLayer_ = buildRingLayer();
  return ringLayer_;
}

void RingView::layoutAnimatedLayer() {
  const auto& ring = ringLayer();
  layer()->addSublayer(ring);
  ui::Size outer = bounds().size, inner = ring->bounds().size;
  ring->setPosition({outer.width - inner.width / 2 - (outer.width - inner.width) / 2,
                     outer.height - inner.height / 2 - (outer.height - inner.height) / 2});
}

ui::Size RingView::sizeThatFits(ui::Size) const {
  double side = 2 * (radius_ + strokeThickness_ / 2 + kMargin);
  return {side, side};
}

std::shared_ptr<ui::ShapeLayer> RingView::baseLayer(double startAngle, double endAngle) const {
  double center = radius_ + strokeThickness_ / 2 + kMargin;
  auto ring = ui::ShapeLayer::create();
  ring->setContentsScale(ui::Screen::main().scale());
  ring->setFrame(ui::Rect::make(0, 0, 2 * center, 2 * center));
  ring->setFillColor(ui::Color::clear());
  ring->setStrokeColor(strokeColor_);
  ring->setLineWidth(strokeThickness_);
  ring->setLineCap(ui::LineCap::Round);
  ring->setLineJoin(ui::LineJoin::Bevel);
  ring->setPath(ui::Path::arc({center, center}, radius_, startAngle, endAngle, true));
  return ring;
}

std::shared_ptr<ui::ShapeLayer> IndefiniteAnimatedView::buildRingLayer() {
  auto ring = baseLayer(3 * kPi / 2, 11 * kPi / 2);

  auto mask = ui::Layer::create();
  mask->setContents(resourceImage("angle-mask"));
  mask->setFrame(ring->bounds());
  ring->setMask(mask);

  ui::BasicAnimation rotation("transform.rotation");
  rotation.toValue = 2 * kPi;
  rotation.duration = 1.0;
  rotation.timingFunction = ui::TimingFunction::Linear;
  rotation.removedOnCompletion = false;
  rotation.repeatCount = ui::kRepeatForever;
  rotation.fillMode = ui::FillMode::Forwards;
  rotation.autoreverses = false;
  mask->addAnimation(rotation, "rotate");

  ui::AnimationGroup stroke;
  stroke.duration = 1.0;
  stroke.repeatCount = ui::kRepeatForever;
  stroke.removedOnCompletion = false;
  stroke.timingFunction = ui::TimingFunction::Linear;
  auto start = std::make_shared<ui::BasicAnimation>("strokeStart");
  start->fromValue = 0.015;
  start->toValue = 0.515;
  auto end = std::make_shared<ui::BasicAnimation>("strokeEnd");
  end->fromValue = 0.485;
  end->toValue = 0.985;
  stroke.animations = {start, end};
  ring->addAnimation(stroke, "progress");
  return ring;
}

std::string IndefiniteAnimatedView::describe() const {
  return View::describe() + " radius=" + ui::formatNumber(radius());
}

void ProgressAnimatedView::setStrokeEnd(double strokeEnd) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  strokeEnd_ = strokeEnd;
  if (hasRingLayer()) ringLayer()->setStrokeEnd(strokeEnd);
}

std::shared_ptr<ui::ShapeLayer> ProgressAnimatedView::buildRingLayer() {
  // A new ring is whole until the next setStrokeEnd.
  return baseLayer(-kPi / 2, 3 * kPi / 2);
}

std::string ProgressAnimatedView::describe() const {
  return View::describe() + " radius=" + ui::formatNumber(radius()) +
         " strokeEnd=" + ui::formatNumber(strokeEnd_);
}

}  // namespace dz::hud
