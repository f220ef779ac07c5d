#include "platform/ui/visual_effect_view.h"

namespace dz::ui {
namespace {

// The wash over the blurred backdrop.
Color tintOf(BlurStyle style) {
  switch (style) {
    case BlurStyle::ExtraLight:
      return Color::white(0.97, 0.78);
    case BlurStyle::Light:
      return Color::white(0.97, 0.6);
    case BlurStyle::Dark:
      return Color::white(0.11, 0.73);
  }
  return Color::clear();
}

constexpr double kBlurRadius = 12;

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
  // The backdrop keeps its last blur while it fades away, as the effect animates out.
  if (effect_ && effect_->kind == VisualEffect::Kind::Blur) {
    backdrop_->setBackgroundColor(tintOf(effect_->style));
    backdrop_->layer()->setBackdropBlurRadius(kBlurRadius);
    backdrop_->setAlpha(1);
  } else {
    backdrop_->setAlpha(0);
  }
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
