#include "platform/ui/geometry.h"

#include <algorithm>

namespace dz::ui {

AffineTransform AffineTransform::inverted() const {
  double det = a * d - b * c;
  if (det == 0) return *this;  // a singular transform has no inverse; the platform hands it back
  return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
}

Rect AffineTransform::apply(const Rect& r) const {
  Point corners[] = {apply(Point{r.minX(), r.minY()}), apply(Point{r.maxX(), r.minY()}),
                     apply(Point{r.minX(), r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
  double minX = corners[0].x, maxX = corners[0].x, minY = corners[0].y, maxY = corners[0].y;
  for (const Point& p : corners) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  return Rect::make(minX, minY, maxX - minX, maxY - minY);
}

}  // namespace dz::ui
