#include "tests/hud/hud_fixture.h"

#include <algorithm>

#include "platform/ui/accessibility.h"
#include "platform/ui/keyboard.h"
#include "platform/ui/label.h"
#include "platform/ui/stack_view.h"

namespace dz::hud::test {
namespace {

struct Card {
  const char* question;
  std::vector<const char*> options;
  const char* meta;
};

const Card kCards[] = {
    {"Where should we eat on Friday?",
     {"Noodle bar", "Pizza place", "Taco truck"},
     "Ada asked vivuro.com"},
    {"Stand-up at 9:30 or 10?", {"9:30", "10:00"}, "Ben asked you"},
    {"Best editor theme?", {"Light", "Dark", "Solarized"}, "Cy asked vivuro.com"},
};

class FeedSource : public ui::TableViewDataSource {
 public:
  int numberOfRows(ui::TableView&, int) override { return std::size(kCards); }
  std::shared_ptr<ui::TableViewCell> cellForRow(ui::TableView& table,
                                                const ui::IndexPath& path) override {
    auto cell = table.dequeueReusableCell("pollCell", path);
    auto stack = std::static_pointer_cast<ui::StackView>(cell->contentView()->subviews().back());
    for (auto view : std::vector(stack->arrangedSubviews())) view->removeFromSuperview();
    const Card& card = kCards[path.row];
    auto question = std::make_shared<ui::Label>();
    question->setText(card.question);
    question->setFont(ui::Font::boldSystem(17));
    question->setNumberOfLines(0);
    stack->addArrangedSubview(question);
    for (const char* option : card.options) {
      auto button = std::make_shared<ui::Button>(ui::Button::Type::Custom);
      button->setTitle(std::string(option));
      button->setTitleColor(ui::Color::black());
      button->setBackgroundColor(ui::Color::rgb255(235, 238, 249));
      button->layer()->setCornerRadius(20);
      button->setFixedHeight(40);
      stack->addArrangedSubview(button);
    }
    auto meta = std::make_shared<ui::Label>();
    meta->setText(card.meta);
    meta->setFont(ui::Font::system(12));
    meta->setTextColor(ui::Color::darkGray());
    stack->addArrangedSubview(meta);
    return cell;
  }
};

class CardCell : public ui::TableViewCell {
 public:
  explicit CardCell(const std::string& identifier) : TableViewCell(identifier) {
    setBackgroundColor(ui::Color::rgb255(246, 247, 251));
    card_ = std::make_shared<ui::View>();
    card_->setBackgroundColor(ui::Color::whiteColor());
    card_->layer()->setCornerRadius(12);
    card_->layer()->setShadow(ui::Color::black(), {0, 4}, 8, 0.1);
    stack_ = std::make_shared<ui::StackView>();
    stack_->setAxis(ui::Axis::Vertical);
    stack_->setSpacing(8);
    contentView()->addSubview(card_);
    contentView()->addSubview(stack_);  // the feed finds it as the last subview
  }
  void layoutSubviews() override {
    TableViewCell::layoutSubviews();
    card_->setFrame(contentView()->bounds().insetBy(12, 8));
    stack_->setFrame(card_->frame().insetBy(12, 12));
  }
  ui::Size sizeThatFits(ui::Size size) const override {
    return {size.width, stack_->sizeThatFits({size.width - 48, 0}).height + 40};
  }

 private:
  std::shared_ptr<ui::View> card_;
  std::shared_ptr<ui::StackView> stack_;
};

class FeedScreen : public ui::ViewController {
 public:
  void viewDidLoad() override {
    const auto& root = view();
    root->setBackgroundColor(ui::Color::rgb255(246, 247, 251));
    auto title = std::make_shared<ui::Label>(ui::Rect::make(0, 20, 375, 44));
    title->setText("Polls");
    title->setFont(ui::Font::boldSystem(20));
    title->setTextAlignment(ui::TextAlignment::Center);
    root->addSubview(title);
    auto table = std::make_shared<ui::TableView>(ui::Rect::make(0, 64, 375, 603));
    table->setBackgroundColor(ui::Color::rgb255(246, 247, 251));
    table->setRowHeight(ui::TableView::kAutomaticDimension);
    table->setEstimatedRowHeight(160);
    table->registerCell("pollCell",
                        [](const std::string& id) { return std::make_shared<CardCell>(id); });
    table->setDataSource(source_);
    root->addSubview(table);
  }

 private:
  std::shared_ptr<FeedSource> source_ = std::make_shared<FeedSource>();
};

const char* const kObserved[] = {
    kProgressHUDWillAppearNotification, kProgressHUDDidAppearNotification,
    kProgressHUDWillDisappearNotification, kProgressHUDDidDisappearNotification};

}  // namespace

std::shared_ptr<ui::ViewController> makeSampleScreen() { return std::make_shared<FeedScreen>(); }

void HudTest::SetUp() {
  ui::test::uiClock();
  ui::Application::shared().reset();
  delegate_ = std::make_shared<SampleDelegate>();
  window_ = std::make_shared<ui::Window>();
  delegate_->window_ = window_;
  ui::Application::shared().setDelegate(delegate_);
  window_->setRootViewController(makeSampleScreen());
  window_->makeKeyAndVisible();
  hud_ = ProgressHUD::sharedView();

  // The overlay outlives every test: put it back to hidden, with the default settings.
  ProgressHUD::setFadeOutAnimationDuration(0);
  ProgressHUD::dismiss();
  advance(0.5);  // animations of the last test run out
  ProgressHUD::setDefaultStyle(ProgressHUDStyle::Light);
  ProgressHUD::setDefaultMaskType(ProgressHUDMaskType::None);
  ProgressHUD::setDefaultAnimationType(ProgressHUDAnimationType::Flat);
  ProgressHUD::setContainerView(nullptr);
  ProgressHUD::setMinimumSize({0, 0});
  ProgressHUD::setMinimumDismissTimeInterval(5);
  ProgressHUD::setMaximumDismissTimeInterval(std::numeric_limits<double>::max());
  ProgressHUD::setFadeInAnimationDuration(0.15f);
  ProgressHUD::setFadeOutAnimationDuration(0.15f);
  ProgressHUD::resetOffsetFromCenter();
  ui::Keyboard::shared().hide(0);
  advance(0.01);
  ui::Accessibility::clearPosted();

  for (const char* name : kObserved) {
    observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
        name, nullptr, nullptr, [this](const platform::Notification& n) {
          posted_.push_back(n.name);
          postedInfo_.push_back(n.userInfo);
        }));
  }
}

void HudTest::TearDown() {
  for (auto token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
  ProgressHUD::setFadeOutAnimationDuration(0);
  ProgressHUD::dismiss();
  advance(0.01);
  ui::Application::shared().reset();
}

size_t HudTest::count(const std::string& name) const {
  return static_cast<size_t>(std::count(posted_.begin(), posted_.end(), name));
}

}  // namespace dz::hud::test
