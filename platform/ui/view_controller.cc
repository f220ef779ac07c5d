#include "platform/ui/view_controller.h"

#include "platform/dispatch_queue.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/ui/window.h"

namespace dz::ui {
namespace {

void runLater(std::function<void()> completion) {
  if (completion) platform::DispatchQueue::main()->async(std::move(completion));
}

}  // namespace

ViewController::~ViewController() {
  if (view_) view_->viewController_ = nullptr;
  if (presented_) presented_->presenting_ = nullptr;
}

const std::shared_ptr<View>& ViewController::view() {
  if (!view_) {
    loadView();
    if (!view_) setView(std::make_shared<View>(Screen::main().bounds()));
    viewDidLoad();
  }
  return view_;
}

void ViewController::setView(std::shared_ptr<View> view) {
  if (view_) view_->viewController_ = nullptr;
  view_ = std::move(view);
  if (view_) view_->viewController_ = this;
}

void ViewController::loadView() {
  auto view = std::make_shared<View>(Screen::main().bounds());
  view->setBackgroundColor(Color::whiteColor());
  setView(std::move(view));
}

void ViewController::beginAppearanceTransition(bool appearing, bool animated) {
  transitionAnimated_ = animated;
  if (appearing && appearance_ != Appearance::Appeared && appearance_ != Appearance::Appearing) {
    view();
    appearance_ = Appearance::Appearing;
    viewWillAppear(animated);
  } else if (!appearing &&
             (appearance_ == Appearance::Appeared || appearance_ == Appearance::Appearing)) {
    appearance_ = Appearance::Disappearing;
    viewWillDisappear(animated);
  }
}

void ViewController::endAppearanceTransition() {
  if (appearance_ == Appearance::Appearing) {
    appearance_ = Appearance::Appeared;
    viewDidAppear(transitionAnimated_);
  } else if (appearance_ == Appearance::Disappearing) {
    appearance_ = Appearance::Disappeared;
    viewDidDisappear(transitionAnimated_);
  }
}

void ViewController::present(std::shared_ptr<ViewController> controller, bool animated,
                             std::function<void()> completion) {
  if (!controller) return;
  if (controller->presenting_ || controller.get() == this) {
    throw dz::Exception(
        kInvalidArgumentException,
        std::string("Cannot present ") + controller->className() + ": it is presented already");
  }
  Window* window = isViewLoaded() ? view_->window() : nullptr;
  if (presented_ || !window) {
    platform::logLine(std::string("ViewController: ") + className() + " cannot present " +
                      controller->className() + " now (already presenting or not in a window)");
    return;
  }
  presented_ = controller;
  controller->presenting_ = this;
  const auto& shown = controller->view();
  Rect target = window->bounds();
  beginAppearanceTransition(false, animated);
  controller->beginAppearanceTransition(true, animated);
  window->addSubview(shown);
  auto finish = [weakSelf = weak_from_this(), weakShown = controller->weak_from_this(),
                 completion = std::move(completion)](bool) mutable {
    auto self = weakSelf.lock();
    auto presented = weakShown.lock();
    if (self && presented && self->presented_ == presented) {
      // The screen underneath leaves the window while it is covered.
      if (self->view_) self->view_->removeFromSuperview();
      self->endAppearanceTransition();
      presented->endAppearanceTransition();
    }
    if (completion) completion();
  };
  if (!animated) {
    shown->setFrame(target);
    finish(true);
    return;
  }
  if (controller->modalTransitionStyle() == ModalTransitionStyle::CrossDissolve) {
    shown->setFrame(target);
    shown->setAlpha(0);
    View::animate(
        kTransitionDuration, [&] { shown->setAlpha(1); }, std::move(finish));
  } else {
    shown->setFrame(target.offsetBy(0, target.height()));
    View::animate(
        kTransitionDuration, [&] { shown->setFrame(target); }, std::move(finish));
  }
}

void ViewController::dismiss(bool animated, std::function<void()> completion) {
  if (!presented_) {
    if (presenting_) {
      presenting_->dismiss(animated, std::move(completion));
    } else {
      runLater(std::move(completion));
    }
    return;
  }
  std::shared_ptr<ViewController> leaving = presented_;
  const auto& leavingView = leaving->view();
  Window* window = leavingView->window();
  leaving->beginAppearanceTransition(false, animated);
  beginAppearanceTransition(true, animated);
  if (window && view_ && !view_->superview()) window->insertSubviewBelow(view_, leavingView.get());
  auto finish = [weakSelf = weak_from_this(), leaving,
                 completion = std::move(completion)](bool) mutable {
    const auto& gone = leaving->view();
    gone->removeFromSuperview();
    gone->setAlpha(1);
    leaving->endAppearanceTransition();
    if (auto self = weakSelf.lock()) self->endAppearanceTransition();
    if (completion) completion();
  };
  presented_.reset();
  leaving->presenting_ = nullptr;
  if (!animated) {
    finish(true);
    return;
  }
  if (leaving->modalTransitionStyle() == ModalTransitionStyle::CrossDissolve) {
    View::animate(
        kTransitionDuration, [&] { leavingView->setAlpha(0); }, std::move(finish));
  } else {
    Rect down = leavingView->frame().offsetBy(0, leavingView->bounds().height());
    View::animate(
        kTransitionDuration, [&] { leavingView->setFrame(down); }, std::move(finish));
  }
}

Storyboard& Storyboard::named(const std::string& name) {
  static auto* boards = new std::map<std::string, std::unique_ptr<Storyboard>, std::less<>>();
  auto& board = (*boards)[name];
  if (!board) board.reset(new Storyboard(name));
  return *board;
}

void Storyboard::registerViewController(std::string identifier, Factory factory) {
  factories_[std::move(identifier)] = std::move(factory);
}

bool Storyboard::contains(std::string_view identifier) const {
  return factories_.find(identifier) != factories_.end();
}

std::shared_ptr<ViewController> Storyboard::instantiateViewController(
    std::string_view identifier) const {
  auto found = factories_.find(identifier);
  if (found == factories_.end() || !found->second) {
    throw dz::Exception(kInvalidArgumentException, "Storyboard \"" + name_ +
                                                       "\" has no screen with identifier \"" +
                                                       std::string(identifier) + "\"");
  }
  return found->second();
}

}  // namespace dz::ui
