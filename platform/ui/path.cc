#include "platform/ui/path.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dz::ui {
namespace {

double distance(Point a, Point b) { return std::hypot(b.x - a.x, b.y - a.y); }

Point lerp(Point a, Point b, double t) { return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; }

// Pieces enough that each stays within `tolerance` of an arc of `radius` over `sweep`.
int arcSteps(double radius, double sweep, double tolerance) {
  if (radius <= 0) return 1;
  double step = 2 * std::acos(std::max(-1.0, 1 - tolerance / radius));
  if (!(step > 0)) step = 0.1;
  return std::clamp(static_cast<int>(std::ceil(std::fabs(sweep) / step)), 1, 100000);
}

}  // namespace

Path Path::arc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
  Path path;
  path.addArc(center, radius, startAngle, endAngle, clockwise);
  return path;
}

Path Path::rect(const Rect& r) {
  Path path;
  path.moveTo({r.minX(), r.minY()});
  path.lineTo({r.maxX(), r.minY()});
  path.lineTo({r.maxX(), r.maxY()});
  path.lineTo({r.minX(), r.maxY()});
  path.close();
  return path;
}

Path Path::roundedRect(const Rect& r, double cornerRadius) {
  double radius = std::clamp(cornerRadius, 0.0, std::min(r.width(), r.height()) / 2);
  if (radius <= 0) return rect(r);
  constexpr double pi = std::numbers::pi;
  Path path;
  path.moveTo({r.minX() + radius, r.minY()});
  path.addArc({r.maxX() - radius, r.minY() + radius}, radius, -pi / 2, 0, true);
  path.addArc({r.maxX() - radius, r.maxY() - radius}, radius, 0, pi / 2, true);
  path.addArc({r.minX() + radius, r.maxY() - radius}, radius, pi / 2, pi, true);
  path.addArc({r.minX() + radius, r.minY() + radius}, radius, pi, 3 * pi / 2, true);
  path.close();
  return path;
}

Path Path::ellipse(const Rect& r) {
  // Four cubic quarters; 0.5523 puts the curve within 0.03 % of the true ellipse.
  constexpr double k = 0.5522847498;
  double rx = r.width() / 2, ry = r.height() / 2, cx = r.midX(), cy = r.midY();
  Path path;
  path.moveTo({cx + rx, cy});
  path.curveTo({cx + rx, cy + k * ry}, {cx + k * rx, cy + ry}, {cx, cy + ry});
  path.curveTo({cx - k * rx, cy + ry}, {cx - rx, cy + k * ry}, {cx - rx, cy});
  path.curveTo({cx - rx, cy - k * ry}, {cx - k * rx, cy - ry}, {cx, cy - ry});
  path.curveTo({cx + k * rx, cy - ry}, {cx + rx, cy - k * ry}, {cx + rx, cy});
  path.close();
  return path;
}

Point Path::currentPoint() const {
  if (runs_.empty()) return {};
  const Run& run = runs_.back();
  if (run.segments.empty()) return run.start;
  const Segment& last = run.segments.back();
  switch (last.kind) {
    case Segment::Line:
      return last.points[0];
    case Segment::Curve:
      return last.points[2];
    case Segment::Arc:
      return {last.center.x + last.radius * std::cos(last.end),
              last.center.y + last.radius * std::sin(last.end)};
  }
  return {};
}

void Path::moveTo(Point p) { runs_.push_back(Run{p, {}, false}); }

void Path::lineTo(Point p) {
  if (runs_.empty() || runs_.back().closed) moveTo(currentPoint());
  Segment segment{Segment::Line, {p}, {}, 0, 0, 0};
  runs_.back().segments.push_back(segment);
}

void Path::curveTo(Point control1, Point control2, Point end) {
  if (runs_.empty() || runs_.back().closed) moveTo(currentPoint());
  runs_.back().segments.push_back(Segment{Segment::Curve, {control1, control2, end}, {}, 0, 0, 0});
}

void Path::addArc(Point center, double radius, double startAngle, double endAngle, bool clockwise) {
  double end = endAngle;
  constexpr double turn = 2 * std::numbers::pi;
  // Clockwise runs towards growing angles; the platform takes the shorter way round when the end
  // lies the other side of the start.
  if (clockwise && end < startAngle) end += std::ceil((startAngle - end) / turn) * turn;
  if (!clockwise && end > startAngle) end -= std::ceil((end - startAngle) / turn) * turn;
  Point start{center.x + radius * std::cos(startAngle), center.y + radius * std::sin(startAngle)};
  if (runs_.empty() || runs_.back().closed) {
    moveTo(start);
  } else {
    lineTo(start);
  }
  runs_.back().segments.push_back(Segment{Segment::Arc, {}, center, radius, startAngle, end});
}

void Path::close() {
  if (!runs_.empty()) runs_.back().closed = true;
}

void Path::append(const Path& other) {
  runs_.insert(runs_.end(), other.runs_.begin(), other.runs_.end());
}

std::vector<Path::Polyline> Path::flatten(double tolerance) const {
  std::vector<Polyline> out;
  for (const Run& run : runs_) {
    Polyline line{{run.start}, run.closed};
    for (const Segment& segment : run.segments) {
      Point from = line.points.back();
      switch (segment.kind) {
        case Segment::Line:
          line.points.push_back(segment.points[0]);
          break;
        case Segment::Curve: {
          double span = distance(from, segment.points[0]) +
                        distance(segment.points[0], segment.points[1]) +
                        distance(segment.points[1], segment.points[2]);
          int steps = std::clamp(static_cast<int>(std::ceil(std::sqrt(span / tolerance))), 1, 1000);
          for (int i = 1; i <= steps; ++i) {
            double t = static_cast<double>(i) / steps;
            Point a = lerp(from, segment.points[0], t),
                  b = lerp(segment.points[0], segment.points[1], t),
                  c = lerp(segment.points[1], segment.points[2], t);
            line.points.push_back(lerp(lerp(a, b, t), lerp(b, c, t), t));
          }
          break;
        }
        case Segment::Arc: {
          int steps = arcSteps(segment.radius, segment.end - segment.start, tolerance);
          for (int i = 1; i <= steps; ++i) {
            double angle = segment.start + (segment.end - segment.start) * i / steps;
            line.points.push_back({segment.center.x + segment.radius * std::cos(angle),
                                   segment.center.y + segment.radius * std::sin(angle)});
          }
          break;
        }
      }
    }
    out.push_back(std::move(line));
  }
  return out;
}

double Path::length(double tolerance) const {
  double total = 0;
  for (const Polyline& line : flatten(tolerance)) {
    for (size_t i = 1; i < line.points.size(); ++i) {
      total += distance(line.points[i - 1], line.points[i]);
    }
    if (line.closed && line.points.size() > 1) {
      total += distance(line.points.back(), line.points.front());
    }
  }
  return total;
}

std::vector<Path::Polyline> Path::trimmed(double from, double to, double tolerance) const {
  from = std::clamp(from, 0.0, 1.0);
  to = std::clamp(to, 0.0, 1.0);
  if (from <= 0 && to >= 1) return flatten(tolerance);
  std::vector<Polyline> out;
  if (to <= from) return out;
  double total = length(tolerance);
  double begin = from * total, end = to * total, walked = 0;
  for (Polyline line : flatten(tolerance)) {
    if (line.closed && line.points.size() > 1) line.points.push_back(line.points.front());
    Polyline piece;
    for (size_t i = 1; i < line.points.size(); ++i) {
      Point a = line.points[i - 1], b = line.points[i];
      double span = distance(a, b), next = walked + span;
      if (next > begin && walked < end && span > 0) {
        Point s = walked >= begin ? a : lerp(a, b, (begin - walked) / span);
        Point e = next <= end ? b : lerp(a, b, (end - walked) / span);
        if (piece.points.empty()) piece.points.push_back(s);
        piece.points.push_back(e);
      }
      walked = next;
    }
    if (!piece.points.empty()) out.push_back(std::move(piece));
  }
  return out;
}

Rect Path::boundingBox() const {
  bool any = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (const Polyline& line : flatten(0.5)) {
    for (Point p : line.points) {
      if (!any) {
        minX = maxX = p.x;
        minY = maxY = p.y;
        any = true;
      }
      minX = std::min(minX, p.x);
      maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y);
      maxY = std::max(maxY, p.y);
    }
  }
  return Rect::make(minX, minY, maxX - minX, maxY - minY);
}

}  // namespace dz::ui
