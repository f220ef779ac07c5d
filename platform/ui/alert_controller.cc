#include "platform/ui/alert_controller.h"

#include <algorithm>

#include "platform/exception.h"
#include "platform/ui/control.h"
#include "platform/ui/label.h"
#include "platform/ui/window.h"

namespace dz::ui {
namespace {

constexpr double kAlertWidth = 270;
constexpr double kButtonHeight = 44;

}  // namespace

AlertController::AlertController(std::optional<std::string> title,
                                 std::optional<std::string> message, Style style)
    : title_(std::move(title)), message_(std::move(message)), style_(style) {
  setModalTransitionStyle(ModalTransitionStyle::CrossDissolve);
}

void AlertController::addAction(AlertAction action) { actions_.push_back(std::move(action)); }

void AlertController::setPreferredAction(size_t index) {
  if (index >= actions_.size()) {
    throw dz::Exception(kInvalidArgumentException,
                        "The alert has no action " + std::to_string(index));
  }
  preferredAction_ = index;
}

void AlertController::simulateTapAction(size_t index) {
  if (index >= actions_.size()) {
    throw dz::Exception(kInvalidArgumentException,
                        "The alert has no action " + std::to_string(index));
  }
  AlertAction action = actions_[index];
  dismiss(true, [action] {
    if (action.handler) action.handler(action);
  });
}

void AlertController::loadView() {
  Rect screen = Screen::main().bounds();
  auto dim = std::make_shared<View>(screen);
  dim->setBackgroundColor(Color::black().withAlpha(0.4));
  auto box = std::make_shared<View>();
  box->setBackgroundColor(Color::white(0.97));
  box->layer()->setCornerRadius(13);
  box->setClipsToBounds(true);
  double y = 20;
  auto addLabel = [&](const std::string& text, const Font& font) {
    auto label = std::make_shared<Label>();
    label->setFont(font);
    label->setNumberOfLines(0);
    label->setTextAlignment(TextAlignment::Center);
    label->setText(text);
    Size size = label->sizeThatFits({kAlertWidth - 32, 0});
    label->setFrame(Rect::make(16, y, kAlertWidth - 32, size.height));
    y += size.height + 4;
    box->addSubview(label);
  };
  if (title_) addLabel(*title_, Font::boldSystem(17));
  if (message_) addLabel(*message_, Font::system(13));
  y += 16;
  for (size_t i = 0; i < actions_.size(); ++i) {
    auto button = std::make_shared<Button>(Button::Type::System);
    button->setTitle(actions_[i].title);
    if (actions_[i].style == AlertAction::Style::Destructive) {
      button->setTitleColor(Color::rgb(1, 0.23, 0.19));
    }
    if (preferredAction_ == i) button->titleLabel()->setFont(Font::boldSystem(15));
    button->setFrame(Rect::make(0, y, kAlertWidth, kButtonHeight));
    std::weak_ptr<ViewController> weak = weak_from_this();
    button->addTarget(kTouchUpInside, [weak, i](Control&, const Event&) {
      if (auto self = std::static_pointer_cast<AlertController>(weak.lock())) {
        self->simulateTapAction(i);
      }
    });
    box->addSubview(button);
    y += kButtonHeight;
  }
  box->setFrame(Rect::make(screen.midX() - kAlertWidth / 2, screen.midY() - y / 2, kAlertWidth, y));
  box->setAutoresizingMask(kFlexibleLeftMargin | kFlexibleRightMargin | kFlexibleTopMargin |
                           kFlexibleBottomMargin);
  dim->addSubview(box);
  setView(dim);
}

}  // namespace dz::ui
