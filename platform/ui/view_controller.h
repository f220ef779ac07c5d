// ViewController: one screen. It loads its view on first access (loadView, then viewDidLoad),
// goes through the appearance life cycle (will / did appear, will / did disappear) as it is shown
// in a window, presented or dismissed, and presents other screens full-screen over itself.
// Storyboard: a registry of screens by storyboard name and identifier, so the application makes
// its screens by identifier. Owned by std::shared_ptr (presenting holds presented); main thread
// only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ui/view.h"

namespace dz::ui {

enum class ModalTransitionStyle { CoverVertical, FlipHorizontal, CrossDissolve, PartialCurl };

// Seconds an animated presentation or dismissal takes.
inline constexpr double kTransitionDuration = 0.35;

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  ViewController() = default;
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  virtual const char* className() const { return "ViewController"; }

  // Loads the view on first access.
  const std::shared_ptr<View>& view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void setView(std::shared_ptr<View> view);

  // Life cycle for subclasses.
  virtual void loadView();
  virtual void viewDidLoad() {}
  virtual void viewWillAppear(bool /*animated*/) {}
  virtual void viewDidAppear(bool /*animated*/) {}
  virtual void viewWillDisappear(bool /*animated*/) {}
  virtual void viewDidDisappear(bool /*animated*/) {}

  enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };
  Appearance appearance() const { return appearance_; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  ModalTransitionStyle modalTransitionStyle() const { return transitionStyle_; }
  void setModalTransitionStyle(ModalTransitionStyle style) { transitionStyle_ = style; }

  // Shows `controller` over this screen's window; `completion` runs once it is on screen (at
  // once when not animated). A screen that already presents one, or whose view is in no window,
  // presents nothing (logged). Presenting a screen that is already presented throws dz::Exception.
  void present(std::shared_ptr<ViewController> controller, bool animated,
               std::function<void()> completion = {});
  // Dismisses the screen this one presents, or else this screen itself when it is presented.
  void dismiss(bool animated, std::function<void()> completion = {});
  const std::shared_ptr<ViewController>& presentedViewController() const { return presented_; }
  ViewController* presentingViewController() const { return presenting_; }

  void setNeedsStatusBarAppearanceUpdate() { ++statusBarAppearanceUpdates_; }
  int statusBarAppearanceUpdates() const { return statusBarAppearanceUpdates_; }

  // Appearance transitions, as windows and containers drive them.
  void beginAppearanceTransition(bool appearing, bool animated);
  void endAppearanceTransition();

 private:
  std::shared_ptr<View> view_;
  Appearance appearance_ = Appearance::Disappeared;
  bool transitionAnimated_ = false;
  std::string title_;
  ModalTransitionStyle transitionStyle_ = ModalTransitionStyle::CoverVertical;
  std::shared_ptr<ViewController> presented_;
  ViewController* presenting_ = nullptr;
  int statusBarAppearanceUpdates_ = 0;
};

class Storyboard {
 public:
  using Factory = std::function<std::shared_ptr<ViewController>()>;
  // The storyboard of that name, empty until screens are registered.
  static Storyboard& named(const std::string& name);

  void registerViewController(std::string identifier, Factory factory);
  bool contains(std::string_view identifier) const;
  // A new screen; throws dz::Exception for an identifier that is not registered.
  std::shared_ptr<ViewController> instantiateViewController(std::string_view identifier) const;

 private:
  explicit Storyboard(std::string name) : name_(std::move(name)) {}
  std::string name_;
  std::map<std::string, Factory, std::less<>> factories_;
};

}  // namespace dz::ui
