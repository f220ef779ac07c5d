// Geometry of the UI layer: points, sizes, rectangles, edge insets and affine transforms, all in
// points with the y axis pointing down. Plain value types.
#pragma once

#include <cmath>

namespace dz::ui {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Offset {
  double horizontal = 0;
  double vertical = 0;
  friend bool operator==(const Offset&, const Offset&) = default;
};

struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
};

struct Rect {
  Point origin;
  Size size;

  static Rect make(double x, double y, double width, double height) {
    return {{x, y}, {width, height}};
  }
  double minX() const { return std::fmin(origin.x, origin.x + size.width); }
  double minY() const { return std::fmin(origin.y, origin.y + size.height); }
  double maxX() const { return std::fmax(origin.x, origin.x + size.width); }
  double maxY() const { return std::fmax(origin.y, origin.y + size.height); }
  double midX() const { return origin.x + size.width / 2; }
  double midY() const { return origin.y + size.height / 2; }
  double width() const { return std::fabs(size.width); }
  double height() const { return std::fabs(size.height); }
  Point center() const { return {midX(), midY()}; }
  bool isEmpty() const { return size.width == 0 || size.height == 0; }
  // Half-open on the far edges, as touches are tested.
  bool contains(Point p) const {
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
  }
  bool intersects(const Rect& other) const {
    return minX() < other.maxX() && other.minX() < maxX() && minY() < other.maxY() &&
           other.minY() < maxY();
  }
  Rect insetBy(double dx, double dy) const {
    return make(minX() + dx, minY() + dy, width() - 2 * dx, height() - 2 * dy);
  }
  Rect inset(const EdgeInsets& insets) const {
    return make(minX() + insets.left, minY() + insets.top, width() - insets.left - insets.right,
                height() - insets.top - insets.bottom);
  }
  Rect offsetBy(double dx, double dy) const {
    return make(origin.x + dx, origin.y + dy, size.width, size.height);
  }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static AffineTransform identity() { return {}; }
  static AffineTransform makeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  static AffineTransform makeRotation(double angle) {
    return {std::cos(angle), std::sin(angle), -std::sin(angle), std::cos(angle), 0, 0};
  }
  static AffineTransform makeTranslation(double x, double y) { return {1, 0, 0, 1, x, y}; }

  bool isIdentity() const { return *this == AffineTransform(); }
  // This transform, then `next`.
  AffineTransform concat(const AffineTransform& next) const {
    return {a * next.a + b * next.c,
            a * next.b + b * next.d,
            c * next.a + d * next.c,
            c * next.b + d * next.d,
            tx * next.a + ty * next.c + next.tx,
            tx * next.b + ty * next.d + next.ty};
  }
  // A scale (or rotation) applied before this transform, as the platform's "multiply by" reads.
  AffineTransform scaled(double sx, double sy) const { return makeScale(sx, sy).concat(*this); }
  AffineTransform rotated(double angle) const { return makeRotation(angle).concat(*this); }
  AffineTransform inverted() const;
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  // The bounding box of the transformed rectangle.
  Rect apply(const Rect& r) const;

  double rotation() const { return std::atan2(b, a); }
  double scaleX() const { return std::hypot(a, b); }
  double scaleY() const { return std::hypot(c, d); }

  friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

}  // namespace dz::ui
