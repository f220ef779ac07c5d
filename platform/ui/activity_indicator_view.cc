#include "platform/ui/activity_indicator_view.h"

#include <cmath>
#include <numbers>

#include "platform/ui/graphics_context.h"

namespace dz::ui {
namespace {

constexpr char kSpinKey[] = "spin";
constexpr int kSpokes = 12;

}  // namespace

ActivityIndicatorView::ActivityIndicatorView(ActivityIndicatorStyle style)
    : style_(style),
      color_(style == ActivityIndicatorStyle::Gray ? Color::white(0.5) : Color::whiteColor()) {
  setUserInteractionEnabled(false);
  sizeToFit();
  setHidden(true);
}

void ActivityIndicatorView::setColor(Color color) {
  color_ = color;
  setNeedsDisplay();
}

void ActivityIndicatorView::startAnimating() {
  if (animating_) return;
  animating_ = true;
  setHidden(false);
  BasicAnimation spin("transform.rotation");
  spin.toValue = 2 * std::numbers::pi;
  spin.duration = 1;
  spin.repeatCount = kRepeatForever;
  layer()->addAnimation(spin, kSpinKey);
}

void ActivityIndicatorView::stopAnimating() {
  if (!animating_) return;
  animating_ = false;
  layer()->removeAnimation(kSpinKey);
  if (hidesWhenStopped_) setHidden(true);
}

void ActivityIndicatorView::setHidesWhenStopped(bool hides) {
  hidesWhenStopped_ = hides;
  if (!animating_) setHidden(hides);
}

Size ActivityIndicatorView::sizeThatFits(Size) const {
  return style_ == ActivityIndicatorStyle::WhiteLarge ? Size{37, 37} : Size{20, 20};
}

void ActivityIndicatorView::draw(GraphicsContext& context, const Rect& bounds) {
  double radius = std::min(bounds.width(), bounds.height()) / 2;
  double width = radius / 4.5;
  for (int i = 0; i < kSpokes; ++i) {
    double angle = 2 * std::numbers::pi * i / kSpokes;
    Point inner{bounds.midX() + std::cos(angle) * radius * 0.45,
                bounds.midY() + std::sin(angle) * radius * 0.45};
    Point outer{bounds.midX() + std::cos(angle) * (radius - width / 2),
                bounds.midY() + std::sin(angle) * (radius - width / 2)};
    context.stroke({Path::Polyline{{inner, outer}, false}},
                   color_.withAlpha(color_.alpha * (0.25 + 0.75 * i / (kSpokes - 1))), width,
                   LineCap::Round);
  }
}

std::string ActivityIndicatorView::describe() const {
  return View::describe() + (animating_ ? " animating" : " stopped");
}

}  // namespace dz::ui
