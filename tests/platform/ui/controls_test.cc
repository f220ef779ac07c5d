// Controls and text inputs as the screens drive them: actions, values, delegates, the keyboard.
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/notification_center.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/control.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/text_input.h"
#include "platform/ui/window.h"
#include "tests/platform/ui/ui_test_clock.h"

namespace dz::ui {
namespace {

using test::advance;
using test::pump;

TEST(ControlTest, TapSendsTouchUpInsideOnlyWhenEnabled) {
  auto window = std::make_shared<Window>();
  auto button = std::make_shared<Button>(Button::Type::System, Rect::make(10, 10, 100, 40));
  window->addSubview(button);
  window->tap({50, 30});  // a hidden window takes no touches
  window->makeKeyAndVisible();
  std::vector<unsigned> events;
  button->addTarget(kTouchDown | kTouchUpInside, [&](Control&, const Event& event) {
    events.push_back(event.touches.empty() ? 0 : 1);
  });
  window->tap({50, 30});
  EXPECT_EQ(events.size(), 2u);
  window->touchDown({50, 30});
  window->touchUp({300, 300});  // let go outside: no touch-up-inside
  EXPECT_EQ(events.size(), 3u);
  button->setEnabled(false);
  button->simulateTap();
  EXPECT_EQ(events.size(), 3u);
}

TEST(ControlTest, ButtonTitlesFallBackToTheNormalState) {
  Button button(Button::Type::Custom);
  button.setTitle("vote");
  button.setTitle("voted", kStateSelected);
  EXPECT_EQ(button.titleLabel()->text(), std::optional<std::string>("vote"));
  button.setSelected(true);
  EXPECT_EQ(button.titleLabel()->text(), std::optional<std::string>("voted"));
  button.setHighlighted(true);  // selected and highlighted has no title of its own
  EXPECT_EQ(button.currentTitle(), std::optional<std::string>("vote"));
}

TEST(ControlTest, SwitchAndSegmentsSendValueChangedOnlyForTheUser) {
  auto toggle = std::make_shared<Switch>();
  int changes = 0;
  toggle->addTarget(kValueChanged, [&](Control&, const Event&) { ++changes; });
  toggle->setOn(true);
  EXPECT_EQ(changes, 0);
  toggle->simulateTap();
  EXPECT_FALSE(toggle->isOn());
  EXPECT_EQ(changes, 1);

  auto segments = std::make_shared<SegmentedControl>(std::vector<std::string>{"a", "b"});
  segments->addTarget(kValueChanged, [&](Control&, const Event&) { ++changes; });
  segments->setSelectedSegmentIndex(0);
  segments->setTitle("vivuro.com", 0);
  segments->simulateSelectSegment(1);
  segments->simulateSelectSegment(1);  // no change, no action
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(segments->titleForSegment(0), std::optional<std::string>("vivuro.com"));
  EXPECT_EQ(segments->titleForSegment(5), std::nullopt);
}

class Typing : public TextViewDelegate, public TextFieldDelegate {
 public:
  std::vector<std::string> log;
  bool textViewShouldChangeText(TextView&, size_t location, size_t,
                                const std::string& text) override {
    log.push_back("change@" + std::to_string(location) + ":" + text);
    return text != "\n";
  }
  void textViewDidChange(TextView& view) override { log.push_back("now " + view.text()); }
  void textViewDidEndEditing(TextView&) override { log.push_back("end"); }
  bool textFieldShouldReturn(TextField&) override {
    log.push_back("return");
    return false;
  }
};

TEST(TextInputTest, DelegatesDecideAndTheKeyboardComesAndGoes) {
  auto window = std::make_shared<Window>();
  auto question = std::make_shared<TextView>(Rect::make(0, 0, 300, 100));
  auto option = std::make_shared<TextField>(Rect::make(0, 100, 300, 40));
  window->addSubview(question);
  window->addSubview(option);
  auto typing = std::make_shared<Typing>();
  question->setDelegate(typing);
  option->setDelegate(typing);
  std::vector<std::string> keyboard;
  auto& center = platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(
      kKeyboardWillShowNotification, nullptr, nullptr, [&](const platform::Notification& n) {
        keyboard.push_back(n.name);
        Rect end = rectFromValue(&n.userInfo.at(kKeyboardFrameEndUserInfoKey));
        EXPECT_EQ(end.height(), Keyboard::kDefaultHeight);
      });
  question->insertText("hé");
  question->insertText("\n");  // refused by the delegate
  question->deleteBackward();
  EXPECT_EQ(question->text(), "h");
  EXPECT_EQ(typing->log, (std::vector<std::string>{"change@0:hé", "now hé", "change@2:\n",
                                                   "change@1:", "now h"}));
  EXPECT_TRUE(question->isFirstResponder());
  EXPECT_EQ(Keyboard::shared().visibleHeight(), Keyboard::kDefaultHeight);

  option->insertText("pizza");  // focus moves; the keyboard stays
  EXPECT_FALSE(question->isFirstResponder());
  EXPECT_EQ(typing->log.back(), "end");
  option->pressReturn();
  EXPECT_EQ(typing->log.back(), "return");
  EXPECT_EQ(keyboard.size(), 1u);
  EXPECT_TRUE(window->endEditing(true));
  EXPECT_FALSE(Keyboard::shared().isVisible());
  advance(0.3);
  center.removeObserver(token);
}

TEST(StackViewTest, LaysOutArrangedViewsAndSkipsHiddenOnes) {
  auto stack = std::make_shared<StackView>();
  stack->setAxis(Axis::Vertical);
  stack->setSpacing(8);
  stack->setFrame(Rect::make(0, 0, 200, 500));
  std::vector<std::shared_ptr<View>> views;
  for (int i = 0; i < 3; ++i) {
    views.push_back(std::make_shared<View>());
    views.back()->setFixedHeight(50);
    stack->addArrangedSubview(views.back());
  }
  views[1]->setHidden(true);
  stack->layoutIfNeeded();
  EXPECT_EQ(views[2]->frame(), Rect::make(0, 58, 200, 50));
  EXPECT_EQ(stack->sizeThatFits({200, 0}), (Size{200, 108}));
  views[0]->removeFromSuperview();
  EXPECT_EQ(stack->arrangedSubviews().size(), 2u);
}

TEST(AlertControllerTest, TappingAnActionDismissesAndThenCallsItsHandler) {
  auto window = std::make_shared<Window>();
  auto root = std::make_shared<ViewController>();
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  auto alert = std::make_shared<AlertController>("New version", "1.1 is out");
  std::string chosen;
  alert->addAction({"Later", AlertAction::Style::Cancel, nullptr});
  alert->addAction({"Install", AlertAction::Style::Default,
                    [&](const AlertAction& action) { chosen = action.title; }});
  root->present(alert, false);
  EXPECT_EQ(root->presentedViewController(), alert);
  alert->simulateTapAction(1);
  advance(kTransitionDuration + 0.05);
  EXPECT_EQ(chosen, "Install");
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_THROW(alert->simulateTapAction(7), dz::Exception);
}

}  // namespace
}  // namespace dz::ui
