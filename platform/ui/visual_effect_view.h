// VisualEffectView: a view with a blur or vibrancy effect and a content view for what it holds.
// A blur is a backdrop below the content view that blurs what lies behind the view and washes it
// with the style's tint; it fades in and out with the effect inside View::animate(). Vibrancy
// adds no backdrop. Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "platform/ui/view.h"

namespace dz::ui {

enum class BlurStyle { ExtraLight, Light, Dark };

struct VisualEffect {
  enum class Kind { Blur, Vibrancy };
  Kind kind = Kind::Blur;
  BlurStyle style = BlurStyle::Light;

  static VisualEffect blur(BlurStyle style) { return {Kind::Blur, style}; }
  // The vibrancy that goes with a blur.
  static VisualEffect vibrancy(const VisualEffect& blur) { return {Kind::Vibrancy, blur.style}; }
  friend bool operator==(const VisualEffect&, const VisualEffect&) = default;
};

class VisualEffectView : public View {
 public:
  explicit VisualEffectView(std::optional<VisualEffect> effect = std::nullopt,
                            const Rect& frame = {});
  const char* className() const override { return "VisualEffectView"; }

  const std::optional<VisualEffect>& effect() const { return effect_; }
  void setEffect(std::optional<VisualEffect> effect);
  const std::shared_ptr<View>& contentView() const { return contentView_; }

  void layoutSubviews() override;
  std::string describe() const override;

 private:
  std::optional<VisualEffect> effect_;
  std::shared_ptr<View> backdrop_;
  std::shared_ptr<View> contentView_;
};

}  // namespace dz::ui
