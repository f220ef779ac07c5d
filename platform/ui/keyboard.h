// Keyboard: the on-screen keyboard, simulated. Showing and hiding post the platform's will / did
// notifications on the default notification center, with the keyboard's begin and end frames
// (maps of "x", "y", "width", "height") and the animation duration; the did-notification follows
// after the duration on the UI clock. Text inputs show it when they become first responder and
// hide it when they resign. Main thread only.
#pragma once

#include "platform/ui/geometry.h"
#include "platform/value.h"

namespace dz::ui {

inline constexpr char kKeyboardWillShowNotification[] = "UIKeyboardWillShowNotification";
inline constexpr char kKeyboardDidShowNotification[] = "UIKeyboardDidShowNotification";
inline constexpr char kKeyboardWillHideNotification[] = "UIKeyboardWillHideNotification";
inline constexpr char kKeyboardDidHideNotification[] = "UIKeyboardDidHideNotification";
inline constexpr char kKeyboardFrameBeginUserInfoKey[] = "UIKeyboardFrameBeginUserInfoKey";
inline constexpr char kKeyboardFrameEndUserInfoKey[] = "UIKeyboardFrameEndUserInfoKey";
inline constexpr char kKeyboardAnimationDurationUserInfoKey[] =
    "UIKeyboardAnimationDurationUserInfoKey";

// Rectangles in notification user info.
Value rectValue(const Rect& rect);
// A zero rectangle for anything that is not a rectangle map (or none).
Rect rectFromValue(const Value* value);

class Keyboard {
 public:
  static Keyboard& shared();

  static constexpr double kDefaultHeight = 216;
  static constexpr double kDefaultDuration = 0.25;

  // Shows the keyboard (again, when its height changes).
  void show(double height = kDefaultHeight, double duration = kDefaultDuration);
  void hide(double duration = kDefaultDuration);
  bool isVisible() const { return visible_; }
  // The height of the keyboard on screen, 0 when hidden.
  double visibleHeight() const { return visible_ ? height_ : 0; }

 private:
  Keyboard() = default;
  bool visible_ = false;
  double height_ = 0;
};

}  // namespace dz::ui
