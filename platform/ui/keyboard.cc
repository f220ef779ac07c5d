#include "platform/ui/keyboard.h"

#include "platform/notification_center.h"
#include "platform/ui/clock.h"
#include "platform/ui/window.h"

namespace dz::ui {
namespace {

void post(const char* name, const Rect& begin, const Rect& end, double duration) {
  platform::NotificationCenter::defaultCenter().post(
      name, nullptr,
      Value::Map{{kKeyboardFrameBeginUserInfoKey, rectValue(begin)},
                 {kKeyboardFrameEndUserInfoKey, rectValue(end)},
                 {kKeyboardAnimationDurationUserInfoKey, duration}});
}

}  // namespace

Value rectValue(const Rect& rect) {
  return Value::Map{{"x", rect.origin.x},
                    {"y", rect.origin.y},
                    {"width", rect.size.width},
                    {"height", rect.size.height}};
}

Rect rectFromValue(const Value* value) {
  if (!value || !value->isMap()) return {};
  auto number = [&](const char* key) { return (*value)[key].getDouble().value_or(0); };
  return Rect::make(number("x"), number("y"), number("width"), number("height"));
}

Keyboard& Keyboard::shared() {
  static Keyboard* keyboard = new Keyboard();  // lives until exit
  return *keyboard;
}

void Keyboard::show(double height, double duration) {
  if (visible_ && height == height_) return;
  Rect screen = Screen::main().bounds();
  Rect hidden = Rect::make(0, screen.height(), screen.width(), height);
  Rect shown = Rect::make(0, screen.height() - height, screen.width(), height);
  Rect begin =
      visible_ ? Rect::make(0, screen.height() - height_, screen.width(), height_) : hidden;
  visible_ = true;
  height_ = height;
  post(kKeyboardWillShowNotification, begin, shown, duration);
  after(duration,
        [begin, shown, duration] { post(kKeyboardDidShowNotification, begin, shown, duration); });
}

void Keyboard::hide(double duration) {
  if (!visible_) return;
  Rect screen = Screen::main().bounds();
  Rect shown = Rect::make(0, screen.height() - height_, screen.width(), height_);
  Rect hidden = Rect::make(0, screen.height(), screen.width(), height_);
  visible_ = false;
  post(kKeyboardWillHideNotification, shown, hidden, duration);
  after(duration,
        [shown, hidden, duration] { post(kKeyboardDidHideNotification, shown, hidden, duration); });
}

}  // namespace dz::ui
