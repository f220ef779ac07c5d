// Animations of layer properties. A layer copies an animation when it is added; while attached, the
// layer's presented value of the animated key path follows the UI clock (platform/ui/clock.h) and
// its model value stays as set. When an animation ends its `didStop` gets finished = true; when it
// is removed or replaced under its key first, finished = false. Main thread only.
#pragma once

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/ui/color.h"
#include "platform/ui/geometry.h"

namespace dz::ui {

using AnimationValue =
    std::variant<std::monostate, double, Point, Size, Rect, AffineTransform, Color>;

// The value at `t` (0 to 1) between two values of one kind; `to` when the kinds differ.
AnimationValue interpolate(const AnimationValue& from, const AnimationValue& to, double t);

enum class TimingFunction { Linear, EaseIn, EaseOut, EaseInEaseOut, Default };
enum class FillMode { Removed, Forwards, Backwards, Both };

inline constexpr double kRepeatForever = HUGE_VAL;
// The duration of an animation that gives none.
inline constexpr double kDefaultAnimationDuration = 0.25;

class Animation {
 public:
  virtual ~Animation() = default;
  virtual std::shared_ptr<Animation> copy() const = 0;

  double duration =
      0;  // seconds; 0 takes kDefaultAnimationDuration (a group's children: the group's)
  double beginDelay = 0;   // seconds after being added (in a group: after the group's start)
  double repeatCount = 0;  // kRepeatForever repeats without end
  bool autoreverses = false;
  bool removedOnCompletion = true;
  FillMode fillMode = FillMode::Removed;
  TimingFunction timingFunction = TimingFunction::Linear;
  // A damped spring instead of the timing function when above 0 (damping ratio, initial velocity
  // in whole distances per second).
  double springDamping = 0;
  double springVelocity = 0;
  std::function<void(bool finished)> didStop;

  double effectiveDuration(double inherited = kDefaultAnimationDuration) const {
    return duration > 0 ? duration : inherited;
  }
  // From the start to the end of the last repetition, without the delay.
  double activeDuration(double inherited = kDefaultAnimationDuration) const;
  // The eased progress at `local` seconds after the start, or none when the animation has no
  // effect then (before its start or after its end without the matching fill mode).
  std::optional<double> progressAt(double local,
                                   double inherited = kDefaultAnimationDuration) const;
};

class BasicAnimation : public Animation {
 public:
  explicit BasicAnimation(std::string keyPath = {}) : keyPath(std::move(keyPath)) {}
  std::shared_ptr<Animation> copy() const override {
    return std::make_shared<BasicAnimation>(*this);
  }
  std::string keyPath;
  // Missing ends take the value the key has beneath this animation.
  AnimationValue fromValue;
  AnimationValue toValue;
};

class AnimationGroup : public Animation {
 public:
  std::shared_ptr<Animation> copy() const override;
  std::vector<std::shared_ptr<BasicAnimation>> animations;
};

}  // namespace dz::ui
