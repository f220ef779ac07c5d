// Scrolling as users do it: drags that pull past the top, and the delegate's view of them;
// where content insets make the content rest.
#include "platform/ui/scroll_view.h"

#include <gtest/gtest.h>

#include "tests/platform/ui/ui_test_clock.h"

namespace dz::ui {
namespace {

class Watcher : public ScrollViewDelegate {
 public:
  std::vector<std::string> log;
  void scrollViewDidScroll(ScrollView& view) override {
    log.push_back("scroll " + formatNumber(view.contentOffset().y));
  }
  void scrollViewWillBeginDragging(ScrollView&) override { log.push_back("begin"); }
  void scrollViewDidEndDragging(ScrollView& view, bool) override {
    log.push_back("end " + formatNumber(view.contentOffset().y));
  }
};

TEST(ScrollViewTest, PullPastTheTopIsSeenAtTheEndOfTheDragThenSpringsBack) {
  auto scroll = std::make_shared<ScrollView>(Rect::make(0, 0, 100, 200));
  scroll->setContentSize({100, 1000});
  auto watcher = std::make_shared<Watcher>();
  scroll->setScrollDelegate(watcher);
  scroll->dragBy(30);  // pulling down: the offset goes below 0
  scroll->endDragging();
  EXPECT_EQ(watcher->log, (std::vector<std::string>{"begin", "scroll -30", "end -30", "scroll 0"}));
  test::advance(0.4);
  EXPECT_EQ(scroll->layer()->presentation().bounds.origin.y, 0);

  watcher->log.clear();
  scroll->dragBy(-900);  // past the bottom
  scroll->endDragging();
  EXPECT_EQ(scroll->contentOffset().y, 800);
}

TEST(ScrollViewTest, ContentInsetsMoveWhereTheContentRests) {
  auto scroll = std::make_shared<ScrollView>(Rect::make(0, 0, 100, 200));
  scroll->setContentSize({100, 1000});
  // A negative top inset hides the top of the content at rest; pulled down, it shows.
  scroll->setContentInset({-80, 0, 0, 0});
  EXPECT_EQ(scroll->contentOffset().y, 80);
  auto watcher = std::make_shared<Watcher>();
  scroll->setScrollDelegate(watcher);
  scroll->dragBy(100);
  scroll->endDragging();
  EXPECT_EQ(watcher->log,
            (std::vector<std::string>{"begin", "scroll -20", "end -20", "scroll 80"}));

  // A bottom inset adds room below the content; an inset the offset already fits moves nothing.
  scroll->setContentInset({20, 0, 40, 0});
  EXPECT_EQ(scroll->contentOffset().y, 80);
  scroll->dragBy(-2000);
  scroll->endDragging();
  EXPECT_EQ(scroll->contentOffset().y, 840);
  scroll->setContentInset({});
  EXPECT_EQ(scroll->contentOffset().y, 800);
}

TEST(ScrollViewTest, SpringAnimationEndsOnItsTarget) {
  auto view = std::make_shared<View>(Rect::make(0, 0, 10, 10));
  bool done = false;
  View::animateWithSpring(
      0.5, 0, 0.5, 1000, kAnimationBeginFromCurrentState,
      [&] { view->setTransform(AffineTransform::makeScale(1.1, 1.1)); },
      [&](bool finished) { done = finished; });
  test::advance(0.6);
  EXPECT_TRUE(done);
  EXPECT_EQ(view->layer()->presentation().transform, AffineTransform::makeScale(1.1, 1.1));
}

}  // namespace
}  // namespace dz::ui
