#include "hud/radial_gradient_layer.h"

#include <algorithm>

#include "platform/queue_check.h"
#include "platform/ui/graphics_context.h"

namespace dz::hud {

RadialGradientLayer::RadialGradientLayer() {
  // A gradient drawn for another size or centre would be stretched off its centre.
  setNeedsDisplayOnBoundsChange(true);
}

std::shared_ptr<RadialGradientLayer> RadialGradientLayer::create() {
  return std::shared_ptr<RadialGradientLayer>(new RadialGradientLayer());
}

void RadialGradientLayer::setGradientCenter(ui::Point center) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (center == gradientCenter_) return;
  gradientCenter_ = center;
  setNeedsDisplay();
}

void RadialGradientLayer::drawInContext(ui::GraphicsContext& context) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  ui::Rect b = bounds();
  // The radius is taken in single precision, as the platform's drawing code does.
  auto radius = static_cast<double>(static_cast<float>(std::min(b.width(), b.height())));
  context.drawRadialGradient(gradientCenter_, 0, radius, ui::Color::rgb(0, 0, 0, 0),
                             ui::Color::rgb(0, 0, 0, 0.75), true);
}

}  // namespace dz::hud
