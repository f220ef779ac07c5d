// The polls screen against the development server: rows follow the poll store live (inserted,
// updated in place), votes from the cards, the list brought in line after the screen was away,
// the local-polls switch, the bolt above the list, and vote pushes for direct polls only.
#include <gtest/gtest.h>

#include "app/create_poll_view_controller.h"
#include "app/polls_view_controller.h"
#include "platform/ui/clock.h"
#include "platform/ui/renderer.h"
#include "tests/app/screen_fixture.h"

namespace pollapp::testing {
namespace {

using dz::ui::IndexPath;

std::shared_ptr<PollCardTableViewCell> card(PollsViewController& screen, int row) {
  screen.tableView()->layoutIfNeeded();
  return std::dynamic_pointer_cast<PollCardTableViewCell>(
      screen.tableView()->cellForRow(IndexPath{0, row}));
}

std::optional<std::string> firstButtonTitle(PollsViewController& screen, int row) {
  auto cell = card(screen, row);
  if (!cell || cell->optionButtons().empty()) return std::nullopt;
  return cell->optionButtons()[0]->currentTitle();
}

class PollsScreenTest : public ScreenTest {};

TEST_F(PollsScreenTest, RowsFollowTheStoreAndComeBackInLineAfterComposing) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  Device& bo = addDevice("bo@school.edu", "Bo", "Li");
  loadUsers(bo, 2);
  use(ann);
  auto screen = show(std::make_shared<PollsViewController>());
  auto table = screen->tableView();

  createPoll(bo, PollType::Community, "Lunch?");
  ASSERT_TRUE(waitFor([&] { return table->numberOfRows(0) == 1; }));
  ASSERT_TRUE(waitFor([&] { return card(*screen, 0) != nullptr; }));
  EXPECT_EQ(card(*screen, 0)->questionLabel()->text(), "Lunch?");

  // Ann votes from the card; the row is updated in place with the results.
  card(*screen, 0)->optionButtons()[0]->simulateTap();
  ASSERT_TRUE(waitFor([&] { return firstButtonTitle(*screen, 0) == "yes (1)"; }));
  EXPECT_EQ(table->numberOfRows(0), 1);

  // While the compose screen covers the feed, another poll arrives unheard.
  screen->createPollPressed();
  ASSERT_TRUE(
      std::dynamic_pointer_cast<CreatePollViewController>(screen->presentedViewController()));
  createPoll(bo, PollType::Community, "Dinner?");
  ASSERT_TRUE(waitFor([&] { return ann.polls->pollsArray().size() == 2; }));
  screen->presentedViewController()->dismiss(false);
  EXPECT_EQ(table->numberOfRows(0), 2);
  // The next poll is inserted into a table that matches the store (no inconsistency).
  createPoll(bo, PollType::Community, "Breakfast?");
  ASSERT_TRUE(waitFor([&] { return table->numberOfRows(0) == 3; }));
  EXPECT_EQ(card(*screen, 0)->questionLabel()->text(), "Breakfast?");
  EXPECT_EQ(table->lastUpdates(),
            (std::vector<dz::ui::RowUpdate>{
                {dz::ui::RowUpdate::Kind::Insert, IndexPath{0, 0}, dz::ui::RowAnimation::Fade}}));

  // Letting go of the list pulled past its top springs the bolt; letting go at rest does not.
  auto bolt = screen->topBolt();
  table->beginDragging();
  table->endDragging();
  EXPECT_TRUE(bolt->transform().isIdentity());
  table->beginDragging();
  table->dragBy(120);
  table->endDragging();
  EXPECT_EQ(bolt->transform(), dz::ui::AffineTransform::makeScale(1.1, 1.1));

  // Switching local polls off empties the cache and fetches the feeds again.
  screen->livePollSwitch()->setOn(true);
  screen->livePollsSwitchChanged();
  EXPECT_TRUE(hudShows(kUpdatingLocationStatus));
  EXPECT_TRUE(ann.environment.defaults->boolForKey(layout::kLocalPollsOnDefault));
  screen->livePollSwitch()->simulateTap();
  EXPECT_FALSE(ann.environment.defaults->boolForKey(layout::kLocalPollsOnDefault));
  ASSERT_TRUE(waitFor([&] {
    return table->numberOfRows(0) == 3 &&
           serverValue("/users/" + ann.uid() + "/localPollsOn") == Value(false);
  }));
}

TEST_F(PollsScreenTest, TheBoltWaitsAboveTheFirstRowUntilTheListIsPulledDown) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  use(ann);
  auto screen = show(std::make_shared<PollsViewController>());
  auto table = screen->tableView();
  EXPECT_EQ(table->contentInset(), (dz::ui::EdgeInsets{-80, 0, 0, 0}));
  EXPECT_EQ(table->scrollIndicatorInsets(), (dz::ui::EdgeInsets{-80, 0, 0, 0}));
  // The bolt's pixels in the list as drawn.
  auto boltPixels = [&] {
    dz::ui::ImagePtr drawn = dz::ui::Renderer::render(*table, 1);
    int count = 0;
    for (int y = 0; y < drawn->pixelHeight(); ++y) {
      for (int x = 0; x < drawn->pixelWidth(); ++x) {
        dz::ui::Color c = drawn->color(x, y);
        count += std::abs(c.red - kAccentColor.red) + std::abs(c.green - kAccentColor.green) +
                     std::abs(c.blue - kAccentColor.blue) <
                 0.05;
      }
    }
    return count;
  };
  EXPECT_EQ(boltPixels(), 0);
  table->beginDragging();
  table->dragBy(80);
  EXPECT_GT(boltPixels(), 200);
  table->endDragging();
  EXPECT_EQ(table->contentOffset().y, 80);
}

TEST_F(PollsScreenTest, WhileTheUserRecordIsMissingOnlyItsReadIsRetried) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  const Value record = serverValue("/users/" + ann.uid());
  write(ann, "/users/" + ann.uid(), Value());
  int composeScreens = 0;
  dz::ui::Storyboard::named(kMainStoryboard)
      .registerViewController(kComposeScreenIdentifier, [&composeScreens] {
        ++composeScreens;
        return std::make_shared<CreatePollViewController>();
      });
  auto clock = dz::platform::ManualScheduler::create();
  dz::ui::setScheduler(clock);
  struct Restore {
    ~Restore() {
      dz::ui::setScheduler(nullptr);
      registerMainStoryboard();
    }
  } restore;
  use(ann);
  auto screen = show(std::make_shared<PollsViewController>());
  // Each read that finds no record asks again a second later.
  for (int retry = 0; retry < 3; ++retry) {
    ASSERT_TRUE(waitFor([&] { return clock->pendingCount() == 1; })) << retry;
    clock->advance(dz::ui::seconds(1));
  }
  ASSERT_TRUE(waitFor([&] { return clock->pendingCount() == 1; }));
  write(ann, "/users/" + ann.uid(), record);
  clock->advance(dz::ui::seconds(1));
  ASSERT_TRUE(waitFor([&] { return ann.users->currentUser() != nullptr; }));

  screen->questionButton()->simulateTap();
  EXPECT_EQ(composeScreens, 1);
  EXPECT_TRUE(
      std::dynamic_pointer_cast<CreatePollViewController>(screen->presentedViewController()));
}

TEST_F(PollsScreenTest, VotesOnOthersDirectPollsAloneSendAPush) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee", {{"showPollVoter", true}});
  Device& bo = addDevice("bo@school.edu", "Bo", "Li");
  for (Device* device : {&ann, &bo}) {
    write(*device, "/users/" + device->uid() + "/deviceToken", Value("ab" + device->email));
    loadUsers(*device, 2);
  }
  bo.users->userForUserId(ann.uid())->setSelectedToPoll(true);
  bo.users->userForUserId(bo.uid())->setSelectedToPoll(true);
  createPoll(bo, PollType::Direct, "Movie?");
  createPoll(ann, PollType::Community, "Lunch?");
  use(ann);
  auto screen = show(std::make_shared<PollsViewController>());
  ASSERT_TRUE(waitFor([&] { return screen->tableView()->numberOfRows(0) == 2; }));
  // Newest first: Ann's own community poll, then Bo's direct poll.
  card(*screen, 0)->optionButtons()[0]->simulateTap();
  card(*screen, 1)->optionButtons()[1]->simulateTap();
  ASSERT_TRUE(waitFor([&] { return serverValue("/queue/tasks").size() == 1; }));
  const Value tasks = serverValue("/queue/tasks");
  const Value& task = tasks.asMap().begin()->second;
  EXPECT_EQ(task["voterId"], Value(ann.uid()));
  EXPECT_EQ(task["message"], Value("Ann Lee voted on your poll"));
}

}  // namespace
}  // namespace pollapp::testing
