#include "platform/ui/visual_effect_view.h"

namespace dz::ui {
namespace {

Color backdropColor(const std::optional<VisualEffect>& effect) {
  if (!effect || effect->kind != VisualEffect::Kind::Blur) return Color::clear();
  switch (effect->style) {
    case BlurStyle::ExtraLight:
      return Color::white(0.97, 0.96);
    case BlurStyle::Light:
      return Color::white(0.97, 0.9);
    case BlurStyle::Dark:
      return Color::white(0.11, 0.93);
  }
  return Color::clear();
}

}  // namespace

VisualEffectView::VisualEffectView(std::optional<VisualEffect> effect, const Rect& frame)
    : View(frame),
      backdrop_(std::make_shared<View>(Rect{{0, 0}, frame.size})),
      contentView_(std::make_shared<View>(Rect{{0, 0}, frame.size})) {
  backdrop_->setUserInteractionEnabled(false);
  backdrop_->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  contentView_->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  addSubview(backdrop_);
  addSubview(contentView_);
  setEffect(effect);
}

void VisualEffectView::setEffect(std::optional<VisualEffect> effect) {
  effect_ = effect;
  backdrop_->setBackgroundColor(backdropColor(effect_));
}

void VisualEffectView::layoutSubviews() {
  Rect inside{{0, 0}, bounds().size};
  backdrop_->setFrame(inside);
  contentView_->setFrame(inside);
}

std::string VisualEffectView::describe() const {
  std::string line = View::describe();
  if (!effect_) return line;
  static const char* kStyles[] = {"extra-light", "light", "dark"};
  line += effect_->kind == VisualEffect::Kind::Blur ? " blur=" : " vibrancy=";
  return line + kStyles[static_cast<int>(effect_->style)];
}

}  // namespace dz::ui
