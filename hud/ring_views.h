// The rings inside the overlay's box. IndefiniteAnimatedView: a ring that spins without end (its
// stroke sweeps around under a rotating, fading mask) while an activity of unknown length runs.
// ProgressAnimatedView: a ring drawn from the top clockwise to strokeEnd, used for the fraction
// done and, at stroke end 1, as the faint ring behind it. Each builds its ring layer on first use
// and drops it when it leaves its superview or changes radius, so a ring shown again starts anew.
// Main thread only.
#pragma once

#include <memory>

#include "platform/ui/layer.h"
#include "platform/ui/view.h"

namespace dz::hud {

// What the two rings share: geometry, colour and the life of the ring layer.
class RingView : public ui::View {
 public:
  double strokeThickness() const { return strokeThickness_; }
  void setStrokeThickness(double thickness);
  double radius() const { return radius_; }
  void setRadius(double radius);
  ui::Color strokeColor() const { return strokeColor_; }
  void setStrokeColor(ui::Color color);

  void setFrame(const ui::Rect& frame) override;
  void willMoveToSuperview(ui::View* newSuperview) override;
  // Adds the ring layer (built when missing) to this view's layer, centred in its bounds.
  void layoutAnimatedLayer();
  // The ring layer's side: 2 × (radius + thickness / 2 + 5).
  ui::Size sizeThatFits(ui::Size) const override;
  // The ring layer, built on first access.
  const std::shared_ptr<ui::ShapeLayer>& ringLayer();
  bool hasRingLayer() const { return ringLayer_ != nullptr; }

 protected:
  // Builds the ring's shape layer (its path and animations).
  virtual std::shared_ptr<ui::ShapeLayer> buildRingLayer() = 0;
  std::shared_ptr<ui::ShapeLayer> baseLayer(double startAngle, double endAngle) const;
  void dropRingLayer();

 private:
  double strokeThickness_ = 0;
  double radius_ = 0;
  ui::Color strokeColor_;
  std::shared_ptr<ui::ShapeLayer> ringLayer_;
};

class IndefiniteAnimatedView : public RingView {
 public:
  const char* className() const override { return "IndefiniteAnimatedView"; }
  std::string describe() const override;

 protected:
  std::shared_ptr<ui::ShapeLayer> buildRingLayer() override;
};

class ProgressAnimatedView : public RingView {
 public:
  const char* className() const override { return "ProgressAnimatedView"; }
  double strokeEnd() const { return strokeEnd_; }
  void setStrokeEnd(double strokeEnd);
  std::string describe() const override;

 protected:
  std::shared_ptr<ui::ShapeLayer> buildRingLayer() override;

 private:
  double strokeEnd_ = 0;
};

}  // namespace dz::hud
