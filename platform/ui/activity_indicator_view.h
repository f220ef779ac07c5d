// ActivityIndicatorView: the platform's spinning wheel of twelve spokes; hidden while stopped
// unless told otherwise. Main thread only.
#pragma once

#include "platform/ui/view.h"

namespace dz::ui {

enum class ActivityIndicatorStyle { WhiteLarge, White, Gray };

class ActivityIndicatorView : public View {
 public:
  explicit ActivityIndicatorView(ActivityIndicatorStyle style = ActivityIndicatorStyle::White);
  const char* className() const override { return "ActivityIndicatorView"; }

  ActivityIndicatorStyle style() const { return style_; }
  Color color() const { return color_; }
  void setColor(Color color);
  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return animating_; }
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool hides);

  Size sizeThatFits(Size size) const override;
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  std::string describe() const override;

 private:
  ActivityIndicatorStyle style_;
  Color color_;
  bool animating_ = false;
  bool hidesWhenStopped_ = true;
};

}  // namespace dz::ui
