// The compose screen against the development server: what it refuses to send, a poll of one
// option, a community poll sent once however often send is pressed, and a direct poll to a picked
// user, whose pick stays for the next poll.
#include <gtest/gtest.h>

#include "app/create_poll_view_controller.h"
#include "tests/app/screen_fixture.h"

namespace pollapp::testing {
namespace {

class ComposeScreenTest : public ScreenTest {
 protected:
  // The compose screen presented over a plain screen, as the feed presents it.
  std::shared_ptr<CreatePollViewController> compose(Device& device) {
    use(device);
    auto root = show(std::make_shared<dz::ui::ViewController>());
    auto screen = std::make_shared<CreatePollViewController>();
    root->present(screen, false);
    return screen;
  }
  static void type(CreatePollViewController& screen, const std::string& question,
                   const std::vector<std::string>& options) {
    screen.questionTextView()->becomeFirstResponder();
    for (size_t i = 0; i < options.size(); ++i) screen.optionTextField(i)->insertText(options[i]);
    screen.questionTextView()->becomeFirstResponder();
    screen.questionTextView()->insertText(question);
  }
  size_t polls() const { return serverValue("/polls").size(); }
};

TEST_F(ComposeScreenTest, RefusesThePlaceholderOrNoOptionsAndSendsOneOption) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  loadUsers(ann, 1);
  auto screen = compose(ann);
  EXPECT_TRUE(screen->sendButton()->isHidden());
  // Leaving the empty question view puts the placeholder back; return in an option field then
  // finds no question.
  screen->optionTextField(1)->insertText("yes");
  EXPECT_EQ(screen->questionTextView()->text(), kQuestionPlaceholder);
  screen->optionTextField(1)->pressReturn();
  EXPECT_TRUE(hudShows(kNoQuestionStatus));
  screen->optionTextField(1)->setText("");
  type(*screen, "Lunch?", {});
  EXPECT_FALSE(screen->sendButton()->isHidden());
  screen->sendPollPressed();
  EXPECT_TRUE(hudShows(kNoOptionsStatus));
  EXPECT_FALSE(screen->isSending());
  EXPECT_EQ(polls(), 0u);

  screen->optionTextField(1)->insertText("yes");
  screen->sendPollPressed();
  ASSERT_TRUE(waitFor([&] { return screen->presentingViewController() == nullptr; }));
  ASSERT_EQ(polls(), 1u);
  Value options = serverValue("/polls").asMap().begin()->second["options"];
  ASSERT_EQ(options.size(), 1u);
  EXPECT_EQ(options.asMap().begin()->second["name"], Value("yes"));
}

TEST_F(ComposeScreenTest, SendsACommunityPollOnce) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  loadUsers(ann, 1);
  auto screen = compose(ann);
  EXPECT_EQ(screen->localDirectSegmentedControl()->titleForSegment(0), "school.edu");
  screen->didPressMoreOptions();
  EXPECT_FALSE(screen->optionTextField(3)->isHidden());
  screen->optionTextField(0)->insertText("pizza");
  screen->optionTextField(2)->insertText("soup");
  type(*screen, "Lunch?", {});
  // Return in the question view sends and inserts no line break; a tap while sending does not.
  screen->questionTextView()->insertText("\n");
  EXPECT_TRUE(screen->isSending());
  screen->sendPollPressed();
  ASSERT_TRUE(waitFor([&] { return screen->presentingViewController() == nullptr; }));
  EXPECT_TRUE(hudShows(kPollSentStatus));
  ASSERT_EQ(polls(), 1u);
  Value poll = serverValue("/polls").asMap().begin()->second;
  EXPECT_EQ(poll["question"], Value("Lunch?"));
  EXPECT_EQ(poll["type"], Value("community"));
  ASSERT_EQ(poll["options"].size(), 2u);
  EXPECT_EQ(poll["options"].asMap().begin()->second["name"], Value("pizza"));
}

TEST_F(ComposeScreenTest, SendsADirectPollToThePickedUsersAndKeepsThePicks) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  Device& bo = addDevice("bo@school.edu", "Bo", "Li");
  addDevice("cy@school.edu", "Cy", "Fox");
  bool known = false;
  ann.users->fetchOrGetCurrentUserWithCompletionBlock([&](UserPtr) { known = true; });
  ASSERT_TRUE(waitFor([&] { return known; }));
  // Users arrive one by one as the user store finds them; Ann is never listed.
  auto screen = compose(ann);
  ASSERT_TRUE(waitFor([&] { return screen->otherUsersArray().size() == 2; }));
  screen->localDirectSegmentedControl()->simulateSelectSegment(1);
  EXPECT_FALSE(screen->tableView()->isHidden());
  EXPECT_EQ(screen->getSelectedPollType(), PollType::Direct);
  int boRow = screen->otherUsersArray()[0]->userId() == bo.uid() ? 0 : 1;
  screen->tableView()->simulateSelectRow({0, boRow});
  EXPECT_TRUE(screen->otherUsersArray()[boRow]->isSelectedToPoll());
  type(*screen, "Movie?", {"yes", "no"});
  screen->sendPollPressed();
  ASSERT_TRUE(waitFor([&] { return screen->presentingViewController() == nullptr; }));
  Value poll = serverValue("/polls").asMap().begin()->second;
  EXPECT_EQ(poll["type"], Value("direct"));
  EXPECT_EQ(poll["recipients"].size(), 2u);
  EXPECT_TRUE(poll["recipients"][bo.uid()].isMap());
  EXPECT_EQ(serverValue("/directPollsForUsers").size(), 2u);
  // Bo stays picked on the shared records: the next compose screen sends to him again.
  auto next = compose(ann);
  ASSERT_EQ(next->otherUsersArray().size(), 2u);
  for (const auto& user : next->otherUsersArray()) {
    EXPECT_EQ(user->isSelectedToPoll(), user->userId() == bo.uid());
  }
}

}  // namespace
}  // namespace pollapp::testing
