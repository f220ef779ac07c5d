// Screen and Window. The main screen has fixed bounds and scale (tests may change them). A window
// is the root of a view tree, with a level, a root screen (view controller), key status, the
// first responder, and the entry points of simulated touches. Windows start hidden; the
// application lists them while they exist. Main thread only.
#pragma once

#include <memory>

#include "platform/ui/view.h"

namespace dz::ui {

class Screen {
 public:
  static Screen& main();
  Rect bounds() const { return bounds_; }
  void setBounds(const Rect& bounds) { bounds_ = bounds; }
  double scale() const { return scale_; }
  void setScale(double scale) { scale_ = scale; }

 private:
  Rect bounds_ = Rect::make(0, 0, 375, 667);
  double scale_ = 2;
};

inline constexpr double kWindowLevelNormal = 0;
inline constexpr double kWindowLevelStatusBar = 1000;
inline constexpr double kWindowLevelAlert = 2000;

class Window : public View {
 public:
  explicit Window(const Rect& frame = Screen::main().bounds());
  ~Window() override;
  const char* className() const override { return "Window"; }

  double windowLevel() const { return windowLevel_; }
  void setWindowLevel(double level) { windowLevel_ = level; }
  Screen& screen() const { return Screen::main(); }

  // The root screen's view fills the window; a visible window makes it appear.
  const std::shared_ptr<ViewController>& rootViewController() const { return root_; }
  void setRootViewController(std::shared_ptr<ViewController> controller);

  void makeKeyWindow();
  void makeKeyAndVisible();
  bool isKeyWindow() const;
  void setHidden(bool hidden) override;

  // The text input holding the keyboard, if any.
  std::shared_ptr<View> firstResponder() const { return firstResponder_.lock(); }
  void setFirstResponder(std::weak_ptr<View> view) { firstResponder_ = std::move(view); }

  // Simulated touches at a point of the window: the touched view (hit-tested) and its superviews
  // get the touch until one takes it. touchUp() ends the touch begun by touchDown().
  void touchDown(Point point);
  void touchUp(Point point);
  void tap(Point point);

 private:
  double windowLevel_ = kWindowLevelNormal;
  std::shared_ptr<ViewController> root_;
  std::weak_ptr<View> firstResponder_;
  std::weak_ptr<View> touched_;
};

}  // namespace dz::ui
