// GraphicsContext: what layer and view drawing code draws with, over a Cairo context. Colours are
// unpremultiplied; coordinates in points, the context's transform applies. Not thread-safe.
#pragma once

#include <optional>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/font.h"
#include "platform/ui/image.h"
#include "platform/ui/layer.h"
#include "platform/ui/path.h"

typedef struct _cairo cairo_t;

namespace dz::ui {

class GraphicsContext {
 public:
  explicit GraphicsContext(cairo_t* cairo) : cairo_(cairo) {}
  cairo_t* cairo() const { return cairo_; }

  void save();
  void restore();
  void concat(const AffineTransform& transform);
  void clip(const Path& path);

  void fill(const Path& path, Color color);
  void fillRect(const Rect& rect, Color color);
  void stroke(const std::vector<Path::Polyline>& lines, Color color, double width,
              LineCap cap = LineCap::Butt, LineJoin join = LineJoin::Miter);
  void stroke(const Path& path, Color color, double width);
  // Draws `image` scaled into `rect`; a template image (or any, with `tint`) as a shape in the
  // tint colour, by its alpha.
  void drawImage(const Image& image, const Rect& rect, std::optional<Color> tint = std::nullopt);
  // Draws laid-out text in `box`, lines aligned within its width and the block centred in its
  // height.
  void drawText(const TextLayout& layout, const Rect& box, Color color, TextAlignment alignment);
  // A radial gradient between two circles around `center`; with `extendAfter` the area beyond
  // the outer circle takes the end colour.
  void drawRadialGradient(Point center, double startRadius, double endRadius, Color start,
                          Color end, bool extendAfter);

 private:
  void tracePath(const Path& path);
  cairo_t* cairo_;
};

}  // namespace dz::ui
