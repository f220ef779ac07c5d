#include "platform/ui/window.h"

#include <algorithm>

#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"

namespace dz::ui {

Screen& Screen::main() {
  static Screen* screen = new Screen();  // lives until exit
  return *screen;
}

Window::Window(const Rect& frame) : View(frame) {
  View::setHidden(true);
  Application::shared().windows_.push_back(this);
}

Window::~Window() {
  Application& app = Application::shared();
  auto& windows = app.windows_;
  windows.erase(std::remove(windows.begin(), windows.end(), this), windows.end());
  if (app.keyWindow_ == this) app.keyWindow_ = nullptr;
}

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
  if (controller == root_) return;
  bool visible = !isHidden();
  if (root_) {
    if (visible) root_->beginAppearanceTransition(false, false);
    if (root_->isViewLoaded()) root_->view()->removeFromSuperview();
    if (visible) root_->endAppearanceTransition();
  }
  root_ = std::move(controller);
  if (!root_) return;
  const auto& view = root_->view();
  view->setFrame(bounds());
  view->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  if (visible) root_->beginAppearanceTransition(true, false);
  insertSubview(view, 0);
  if (visible) root_->endAppearanceTransition();
}

void Window::setHidden(bool hidden) {
  bool wasHidden = isHidden();
  if (hidden == wasHidden) return;
  if (root_) root_->beginAppearanceTransition(!hidden, false);
  View::setHidden(hidden);
  if (root_) root_->endAppearanceTransition();
}

void Window::makeKeyWindow() { Application::shared().keyWindow_ = this; }

void Window::makeKeyAndVisible() {
  makeKeyWindow();
  setHidden(false);
}

bool Window::isKeyWindow() const { return Application::shared().keyWindow() == this; }

void Window::touchDown(Point point) {
  View* hit = hitTest(point);
  touched_.reset();
  if (!hit) return;
  touched_ = hit->weak_from_this();
  Event event{{Touch{point, this}}};
  hit->touchesBegan(event.touches[0], event);
}

void Window::touchUp(Point point) {
  std::shared_ptr<View> view = touched_.lock();
  touched_.reset();
  if (!view) return;
  Event event{{Touch{point, this}}};
  view->touchesEnded(event.touches[0], event);
}

void Window::tap(Point point) {
  touchDown(point);
  touchUp(point);
}

}  // namespace dz::ui
