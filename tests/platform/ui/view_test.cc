// Views, windows and screens: hierarchy, coordinates, touches, resizing, the tree dump, the
// appearance life cycle and presentation.
#include "platform/ui/view.h"

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/notification_center.h"
#include "platform/ui/application.h"
#include "platform/ui/control.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "tests/platform/ui/ui_test_clock.h"

namespace dz::ui {
namespace {

using test::advance;
using test::pump;

TEST(ViewTest, CoordinatesFollowFramesBoundsAndTransforms) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 300, 300));
  auto box = std::make_shared<View>(Rect::make(100, 100, 100, 50));
  auto inner = std::make_shared<View>(Rect::make(10, 10, 20, 20));
  root->addSubview(box);
  box->addSubview(inner);
  EXPECT_EQ(inner->convertPointTo({0, 0}, root.get()), (Point{110, 110}));
  EXPECT_EQ(inner->convertPointFrom({110, 110}, root.get()), (Point{0, 0}));
  // Scrolling the bounds moves what is inside.
  box->setBounds(Rect::make(0, 5, 100, 50));
  EXPECT_EQ(inner->convertPointTo({0, 0}, root.get()), (Point{110, 105}));
  // A transform scales about the centre.
  box->setBounds(Rect::make(0, 0, 100, 50));
  box->setTransform(AffineTransform::makeScale(2, 2));
  EXPECT_EQ(box->frame(), Rect::make(50, 75, 200, 100));
  EXPECT_EQ(box->convertPointTo({0, 0}, root.get()), (Point{50, 75}));
  EXPECT_THROW(inner->addSubview(root), dz::Exception);
}

TEST(ViewTest, HitTestingSkipsHiddenAndNoninteractiveViews) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 100, 100));
  auto below = std::make_shared<View>(Rect::make(0, 0, 100, 100));
  auto above = std::make_shared<View>(Rect::make(0, 0, 50, 50));
  root->addSubview(below);
  root->addSubview(above);
  EXPECT_EQ(root->hitTest({10, 10}), above.get());
  EXPECT_EQ(root->hitTest({70, 70}), below.get());
  above->setUserInteractionEnabled(false);
  EXPECT_EQ(root->hitTest({10, 10}), below.get());
  below->setHidden(true);
  EXPECT_EQ(root->hitTest({10, 10}), root.get());
  EXPECT_EQ(root->hitTest({150, 10}), nullptr);
}

TEST(ViewTest, AutoresizingSharesTheChangeAmongFlexibleParts) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 100, 100));
  auto fill = std::make_shared<View>(Rect::make(0, 0, 100, 100));
  fill->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
  auto centred = std::make_shared<View>(Rect::make(40, 40, 20, 20));
  centred->setAutoresizingMask(kFlexibleLeftMargin | kFlexibleRightMargin | kFlexibleTopMargin |
                               kFlexibleBottomMargin);
  root->addSubview(fill);
  root->addSubview(centred);
  root->setFrame(Rect::make(0, 0, 200, 300));
  EXPECT_EQ(fill->frame(), Rect::make(0, 0, 200, 300));
  EXPECT_EQ(centred->center(), (Point{100, 150}));
}

TEST(ViewTest, TreeDumpShowsEachViewOnALine) {
  auto root = std::make_shared<View>(Rect::make(0, 0, 100, 50));
  auto button = std::make_shared<Button>(Button::Type::System, Rect::make(10, 10, 80, 30));
  button->setTitle("send");
  root->addSubview(button);
  std::string dump = describeTree(*root);
  EXPECT_NE(dump.find("View (0 0; 100 50)\n  Button (10 10; 80 30) title=\"send\""),
            std::string::npos)
      << dump;
  EXPECT_NE(dump.find("    Label"), std::string::npos) << dump;
}

class Screen : public ViewController {
 public:
  explicit Screen(std::vector<std::string>* log, std::string name)
      : log_(log), name_(std::move(name)) {}
  void viewDidLoad() override { log_->push_back(name_ + " load"); }
  void viewWillAppear(bool) override { log_->push_back(name_ + " will appear"); }
  void viewDidAppear(bool) override { log_->push_back(name_ + " did appear"); }
  void viewWillDisappear(bool) override { log_->push_back(name_ + " will disappear"); }
  void viewDidDisappear(bool) override { log_->push_back(name_ + " did disappear"); }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

TEST(ViewControllerTest, WindowAndPresentationDriveTheAppearanceCycle) {
  std::vector<std::string> log;
  auto window = std::make_shared<Window>();
  auto feed = std::make_shared<Screen>(&log, "feed");
  window->setRootViewController(feed);
  EXPECT_EQ(log, (std::vector<std::string>{"feed load"}));  // the window is still hidden
  window->makeKeyAndVisible();
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(log.back(), "feed did appear");

  log.clear();
  auto compose = std::make_shared<Screen>(&log, "compose");
  bool presented = false;
  feed->present(compose, true, [&] { presented = true; });
  EXPECT_EQ(log, (std::vector<std::string>{"compose load", "feed will disappear",
                                           "compose will appear"}));
  advance(kTransitionDuration + 0.05);
  EXPECT_TRUE(presented);
  EXPECT_EQ(log.back(), "compose did appear");
  EXPECT_EQ(compose->view()->frame(), window->bounds());
  EXPECT_EQ(feed->presentedViewController(), compose);
  EXPECT_THROW(window->rootViewController()->present(compose, false), dz::Exception);

  log.clear();
  compose->dismiss(false);
  pump();
  EXPECT_EQ(log, (std::vector<std::string>{"compose will disappear", "feed will appear",
                                           "compose did disappear", "feed did appear"}));
  EXPECT_EQ(compose->view()->superview(), nullptr);
  EXPECT_EQ(feed->view()->superview(), window.get());
  EXPECT_EQ(feed->presentedViewController(), nullptr);
}

TEST(ViewControllerTest, StoryboardMakesScreensByIdentifier) {
  Storyboard& main = Storyboard::named("Test");
  main.registerViewController("pollsVC", [] { return std::make_shared<ViewController>(); });
  auto first = main.instantiateViewController("pollsVC");
  EXPECT_NE(first, main.instantiateViewController("pollsVC"));
  try {
    main.instantiateViewController("nope");
    FAIL();
  } catch (const dz::Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
  }
}

TEST(ApplicationTest, WindowsByLevelAndTheLifeCyclePostsNotifications) {
  Application& app = Application::shared();
  app.reset();
  auto high = std::make_shared<Window>();
  high->setWindowLevel(kWindowLevelAlert);
  auto normal = std::make_shared<Window>();
  auto windows = app.windows();
  ASSERT_GE(windows.size(), 2u);
  EXPECT_EQ(windows.back(), high.get());

  std::vector<std::string> posted;
  auto& center = platform::NotificationCenter::defaultCenter();
  std::vector<platform::NotificationCenter::ObserverToken> tokens;
  for (const char* name :
       {kApplicationDidEnterBackgroundNotification, kApplicationDidBecomeActiveNotification}) {
    tokens.push_back(
        center.addObserver(name, nullptr, nullptr,
                           [&](const platform::Notification& n) { posted.push_back(n.name); }));
  }
  app.enterBackground();
  EXPECT_EQ(app.state(), ApplicationState::Background);
  app.becomeActive();
  EXPECT_EQ(posted, (std::vector<std::string>{kApplicationDidEnterBackgroundNotification,
                                              kApplicationDidBecomeActiveNotification}));
  EXPECT_TRUE(app.openURL("itms-services://?action=download-manifest"));
  EXPECT_EQ(app.openedURLs().size(), 1u);
  for (auto token : tokens) center.removeObserver(token);
  app.reset();
}

}  // namespace
}  // namespace dz::ui
