#include "platform/ui/animation.h"

#include <algorithm>

namespace dz::ui {
namespace {

double mix(double a, double b, double t) { return a + (b - a) * t; }

// The cubic timing curve through (0, 0), (x1, y1), (x2, y2), (1, 1), solved for x = t.
double cubicTiming(double x1, double y1, double x2, double y2, double t) {
  auto curve = [](double p1, double p2, double s) {
    return 3 * (1 - s) * (1 - s) * s * p1 + 3 * (1 - s) * s * s * p2 + s * s * s;
  };
  double low = 0, high = 1, s = t;
  for (int i = 0; i < 40; ++i) {
    s = (low + high) / 2;
    (curve(x1, x2, s) < t ? low : high) = s;
  }
  return curve(y1, y2, s);
}

double ease(TimingFunction function, double t) {
  switch (function) {
    case TimingFunction::Linear:
      return t;
    case TimingFunction::EaseIn:
      return cubicTiming(0.42, 0, 1, 1, t);
    case TimingFunction::EaseOut:
      return cubicTiming(0, 0, 0.58, 1, t);
    case TimingFunction::EaseInEaseOut:
      return cubicTiming(0.42, 0, 0.58, 1, t);
    case TimingFunction::Default:
      return cubicTiming(0.25, 0.1, 0.25, 1, t);
  }
  return t;
}

// A spring that settles (to 1 %) within the animation's duration.
double spring(double damping, double velocity, double duration, double t) {
  if (t >= 1) return 1;
  double zeta = std::min(damping, 0.999);
  double omega = 4.6 / (zeta * duration);
  double damped = omega * std::sqrt(1 - zeta * zeta);
  double time = t * duration;
  return 1 - std::exp(-zeta * omega * time) *
                 (std::cos(damped * time) +
                  (zeta * omega - velocity) / damped * std::sin(damped * time));
}

}  // namespace

AnimationValue interpolate(const AnimationValue& from, const AnimationValue& to, double t) {
  if (from.index() != to.index()) return to;
  if (auto* a = std::get_if<double>(&from)) return mix(*a, std::get<double>(to), t);
  if (auto* a = std::get_if<Point>(&from)) {
    const Point& b = std::get<Point>(to);
    return Point{mix(a->x, b.x, t), mix(a->y, b.y, t)};
  }
  if (auto* a = std::get_if<Size>(&from)) {
    const Size& b = std::get<Size>(to);
    return Size{mix(a->width, b.width, t), mix(a->height, b.height, t)};
  }
  if (auto* a = std::get_if<Rect>(&from)) {
    const Rect& b = std::get<Rect>(to);
    return Rect::make(mix(a->origin.x, b.origin.x, t), mix(a->origin.y, b.origin.y, t),
                      mix(a->size.width, b.size.width, t), mix(a->size.height, b.size.height, t));
  }
  if (auto* a = std::get_if<AffineTransform>(&from)) {
    const AffineTransform& b = std::get<AffineTransform>(to);
    return AffineTransform{mix(a->a, b.a, t), mix(a->b, b.b, t),   mix(a->c, b.c, t),
                           mix(a->d, b.d, t), mix(a->tx, b.tx, t), mix(a->ty, b.ty, t)};
  }
  if (auto* a = std::get_if<Color>(&from)) {
    // Premultiplied, so that a fade from clear does not pass through the clear colour's black.
    const Color& b = std::get<Color>(to);
    double alpha = mix(a->alpha, b.alpha, t);
    if (alpha <= 0) return Color::clear();
    auto channel = [&](double x, double y) { return mix(x * a->alpha, y * b.alpha, t) / alpha; };
    return Color{channel(a->red, b.red), channel(a->green, b.green), channel(a->blue, b.blue),
                 alpha};
  }
  return to;
}

double Animation::activeDuration(double inherited) const {
  double repeats = repeatCount > 0 ? repeatCount : 1;
  return effectiveDuration(inherited) * repeats * (autoreverses ? 2 : 1);
}

std::optional<double> Animation::progressAt(double local, double inherited) const {
  double cycle = effectiveDuration(inherited);
  double total = activeDuration(inherited);
  auto eased = [&](double t) {
    return springDamping > 0 ? spring(springDamping, springVelocity, cycle, t)
                             : ease(timingFunction, t);
  };
  if (local < 0) {
    if (fillMode == FillMode::Backwards || fillMode == FillMode::Both) return eased(0);
    return std::nullopt;
  }
  if (local >= total) {
    if (fillMode == FillMode::Forwards || fillMode == FillMode::Both) {
      return eased(autoreverses ? 0 : 1);
    }
    return std::nullopt;
  }
  double position = local / cycle;
  double fraction = position - std::floor(position);
  if (autoreverses && static_cast<int64_t>(std::floor(position)) % 2 == 1) fraction = 1 - fraction;
  return eased(fraction);
}

std::shared_ptr<Animation> AnimationGroup::copy() const {
  auto group = std::make_shared<AnimationGroup>(*this);
  for (auto& child : group->animations) {
    child = std::static_pointer_cast<BasicAnimation>(child->copy());
  }
  return group;
}

}  // namespace dz::ui
