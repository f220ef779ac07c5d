// RadialGradientLayer: the darkening behind the overlay for the gradient mask, clear at its
// centre and 75 % black at the distance of the layer's shorter side and beyond. It draws again
// whenever its size or centre changes. Main thread only.
#pragma once

#include <memory>

#include "platform/ui/layer.h"

namespace dz::hud {

class RadialGradientLayer : public ui::Layer {
 public:
  static std::shared_ptr<RadialGradientLayer> create();
  const char* typeName() const override { return "RadialGradientLayer"; }

  ui::Point gradientCenter() const { return gradientCenter_; }
  void setGradientCenter(ui::Point center);

  bool drawsContent() const override { return true; }
  void drawInContext(ui::GraphicsContext& context) override;

 private:
  RadialGradientLayer();
  ui::Point gradientCenter_;
};

}  // namespace dz::hud
