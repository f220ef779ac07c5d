// Path: a vector outline of moves, lines, cubic curves, arcs and closes, in points. Shape layers
// stroke and fill it; stroke start and end are fractions of its length, measured on the path
// flattened to short straight pieces. A value type.
#pragma once

#include <vector>

#include "platform/ui/geometry.h"

namespace dz::ui {

class Path {
 public:
  // A connected run of points; `closed` joins the last point to the first.
  struct Polyline {
    std::vector<Point> points;
    bool closed = false;
  };

  // An arc around `center` from `startAngle` to `endAngle` (radians, y axis down). Clockwise arcs
  // run towards growing angles and may cover several turns; anticlockwise ones towards smaller.
  static Path arc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
  static Path rect(const Rect& rect);
  static Path roundedRect(const Rect& rect, double cornerRadius);
  static Path ellipse(const Rect& rect);

  void moveTo(Point p);
  void lineTo(Point p);
  void curveTo(Point control1, Point control2, Point end);
  // Continues the current run (a line joins it to the arc's start).
  void addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise);
  void close();
  void append(const Path& other);

  bool isEmpty() const { return runs_.empty(); }
  Rect boundingBox() const;
  // The outline as straight pieces no further than `tolerance` points from the true curve.
  std::vector<Polyline> flatten(double tolerance = 0.1) const;
  // The part between the fractions `from` and `to` (0 to 1) of the flattened length.
  std::vector<Polyline> trimmed(double from, double to, double tolerance = 0.1) const;
  double length(double tolerance = 0.1) const;

 private:
  struct Segment {
    enum Kind { Line, Curve, Arc } kind;
    Point points[3];  // line: end; curve: two controls and end
    Point center;     // arc
    double radius = 0, start = 0, end = 0;
  };
  struct Run {
    Point start;
    std::vector<Segment> segments;
    bool closed = false;
  };
  Point currentPoint() const;
  std::vector<Run> runs_;
};

}  // namespace dz::ui
