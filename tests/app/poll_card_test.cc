// The poll card and its option buttons on the headless UI: buttons before and after a vote, result
// bars, re-voting, the metadata line under each experiment setting, closed polls and pulses.
#include <gtest/gtest.h>

#include "app/database_layout.h"
#include "app/poll_card_cell.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/run_loop.h"
#include "tests/support/sandbox.h"

namespace pollapp {
namespace {

using dz::Value;
using dz::database::IndexedNode;
using dz::database::Path;
using dz::database::SnapshotUtilities;
using dz::ui::AffineTransform;

PollPtr poll(const std::string& json) {
  return Poll::fromSnapshot(
      DataSnapshot(nullptr, Path("/polls/p1"),
                   IndexedNode(SnapshotUtilities::nodeFrom(*Value::parseJson(json)))));
}

// Ann (u1) asked Bo (voted for "a"), Cy, Di and Ed.
const std::string kDirect = R"({"sender": "u1", "question": "Lunch?", "type": "direct",
    "options": {"a": {"name": "pizza", "votes": 4}, "b": {"name": "salad", "votes": 6}},
    "recipients": {"u1": {"firstName": "Ann", "lastName": "Lee"},
                   "u2": {"firstName": "Bo", "lastName": "Li", "vote": "a"},
                   "u3": {"firstName": "Cy", "lastName": "Fox"},
                   "u4": {"firstName": "Di", "lastName": "Ma"},
                   "u5": {"firstName": "Ed", "lastName": "Ng"}}})";

void pump() {
  while (dz::platform::RunLoop::main().runOnce(std::chrono::milliseconds(0))) {
  }
}

class PollCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults_ = dz::platform::UserDefaults::create(sandbox_.root() / "defaults.json");
    cell_ = std::make_shared<PollCardTableViewCell>(defaults_);
    cell_->setFrame(dz::ui::Rect::make(0, 0, 375, 300));
  }
  void experiments(bool creator, bool voters) {
    defaults_->setObject(Value::Map{{layout::kRevealPollCreatorOnPoll, creator},
                                    {layout::kRevealPollVotersOnPoll, voters}},
                         layout::kUserExperimentsDefault);
  }
  void show(const PollPtr& poll, const std::string& viewer) {
    cell_->setPoll(poll);
    cell_->questionLabel()->setText(poll->questionString());
    cell_->setupSubviewsFacingUserWithId(viewer);
    cell_->layoutIfNeeded();
    pump();
  }

  dz::testing::ScopedSandbox sandbox_;
  std::shared_ptr<dz::platform::UserDefaults> defaults_;
  std::shared_ptr<PollCardTableViewCell> cell_;
};

struct Chosen : PollCardTableViewCellDelegate {
  std::vector<std::string> options;
  void didChoosePollOption(const Option& option) override { options.push_back(option.optionId()); }
};

TEST_F(PollCardTest, ButtonsBeforeAndAfterVotingAndReVotes) {
  auto delegate = std::make_shared<Chosen>();
  cell_->setDelegate(delegate);
  show(poll(kDirect), "u3");  // Cy has not voted
  auto buttons = cell_->optionButtons();
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_EQ(buttons[0]->currentTitle(), "pizza");
  EXPECT_EQ(buttons[0]->backgroundColor(), kLightBackgroundColor);
  EXPECT_TRUE(buttons[0]->resultBar()->isHidden());
  buttons[1]->simulateTap();

  show(poll(kDirect), "u2");  // Bo voted for pizza: results, 4 of 10 votes
  buttons = cell_->optionButtons();
  EXPECT_EQ(buttons[0]->currentTitle(), "pizza (4)");
  EXPECT_EQ(buttons[0]->backgroundColor(), kDarkAccentColor);
  EXPECT_NEAR(buttons[0]->resultBar()->frame().size.width, 0.4 * buttons[0]->bounds().size.width,
              0.01);
  EXPECT_GT(buttons[0]->bounds().size.width, 0);
  buttons[0]->simulateTap();  // the chosen one takes no taps
  buttons[1]->simulateTap();  // the other is a re-vote
  EXPECT_EQ(delegate->options, (std::vector<std::string>{"b", "b"}));
  // A rebuild leaves only the question view and the new buttons.
  show(poll(kDirect), "u2");
  EXPECT_EQ(cell_->pollInfoStackView()->arrangedSubviews().size(), 3u);
}

TEST_F(PollCardTest, NoVotesCountedGivesEmptyBars) {
  show(poll(R"({"sender": "u1", "question": "Q", "options": {"a": {"name": "x", "votes": 0}},
      "recipients": {"u1": {"firstName": "Ann", "vote": "a"}}})"),
       "u1");
  EXPECT_EQ(cell_->optionButtons()[0]->resultBar()->frame().size.width, 0);
  EXPECT_FALSE(cell_->optionButtons()[0]->resultBar()->isHidden());
}

TEST_F(PollCardTest, MetadataFollowsTheExperiments) {
  experiments(true, true);
  show(poll(kDirect), "u1");
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "Ann asked Bo \u2714\uFE0E, Cy, and 2 more");
  EXPECT_EQ(cell_->metadataButton()->currentTitle(), "Ann asked Bo \u2714\uFE0E, Cy, and 2 more");
  cell_->metadataButton()->simulateTap();
  EXPECT_EQ(cell_->metadataButton()->currentTitle(),
            "Ann Lee asked Bo Li \u2714\uFE0E, Cy Fox, Di Ma, Ed Ng");
  experiments(false, false);
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "anon asked you");

  experiments(true, true);
  show(poll(R"({"sender": "u1", "type": "community", "domain": "school.edu",
      "recipients": {"u1": {"firstName": "Ann"}}})"),
       "u1");
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "Ann asked school.edu");
  show(poll(R"({"sender": "u1", "type": "local", "recipients": {"u1": {"firstName": "Ann"}}})"),
       "u1");
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "local");
  show(poll(R"({"sender": "u1", "type": "direct", "recipients": {"u1": {"firstName": "Ann"}}})"),
       "u1");
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "just you");
  show(poll(R"({"sender": "u1", "type": "direct"})"), "u1");
  EXPECT_EQ(cell_->makeMetadataLabelInFull(false), "");
}

TEST_F(PollCardTest, ClosedPollsAndPulses) {
  show(poll(R"({"sender": "u1", "question": "Lunch?", "closed": true})"), "u1");
  EXPECT_EQ(cell_->questionLabel()->text(), "CLOSED: Lunch?");

  PollPtr before = poll(kDirect);
  show(before, "u2");
  std::string after = kDirect;
  after.replace(after.find("\"votes\": 6"), 10, "\"votes\": 5");
  PollDiff diff = before->diffFromPoll(*poll(after));
  cell_->animateDiffs(diff);
  auto buttons = cell_->optionButtons();
  EXPECT_EQ(buttons[0]->transform(), AffineTransform::identity());
  EXPECT_EQ(buttons[1]->transform(), AffineTransform::makeScale(0.9, 0.9));
}

}  // namespace
}  // namespace pollapp
