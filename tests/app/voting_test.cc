// Votes and re-votes by transaction against the development server: two users voting at once
// give exact counts, and votes the poll cannot take are refused without a trace.
#include <gtest/gtest.h>

#include <limits>

#include "tests/app/app_fixture.h"

namespace pollapp::testing {
namespace {

struct VoteResult {
  bool done = false;
  dz::ErrorPtr error;
  bool changed = false;
};

class VotingTest : public AppServerTest {
 protected:
  // Ann and Bo of one domain, both following the community feed, and a poll of Ann's.
  void SetUp() override {
    AppServerTest::SetUp();
    ann_ = &addDevice("ann@school.edu", "Ann", "Lee");
    bo_ = &addDevice("bo@school.edu", "Bo", "Li");
    for (Device* device : {ann_, bo_}) {
      loadUsers(*device, 2);
      device->polls->fetchRecentPollsForCommunity();
    }
    pollId_ = createPoll(*ann_, PollType::Community, "Lunch?");
    ASSERT_TRUE(waitFor(
        [&] { return ann_->polls->pollForPollId(pollId_) && bo_->polls->pollForPollId(pollId_); }));
  }

  // The device's cached form of option `n` of the poll.
  Option option(Device& device, size_t n) {
    return device.polls->pollForPollId(pollId_)->optionsArray().at(n);
  }
  std::shared_ptr<VoteResult> vote(Device& device, size_t n) {
    auto result = std::make_shared<VoteResult>();
    device.polls->voteOnOption(option(device, n),
                               [result](const dz::ErrorPtr& error, bool changed, const auto&) {
                                 result->error = error;
                                 result->changed = changed;
                                 result->done = true;
                               });
    return result;
  }
  int64_t serverVotes(size_t n) {
    Value options = serverValue("/polls/" + pollId_ + "/options");
    auto it = options.asMap().begin();
    std::advance(it, n);
    return it->second["votes"].getInt().value_or(-99);
  }
  size_t voteLogEntries(Device& device) {
    return serverValue("/pollVotesByUsers/" + device.uid() + "/" + pollId_).size();
  }

  Device* ann_ = nullptr;
  Device* bo_ = nullptr;
  std::string pollId_;
};

TEST_F(VotingTest, VotesAndReVotesFromTwoUsersAtOnceCountExactly) {
  // Each round both vote at the same moment; {Ann's choice, Bo's choice}.
  const std::vector<std::pair<size_t, size_t>> rounds = {{0, 0}, {1, 1}, {1, 0}, {0, 1}, {0, 1}};
  std::optional<std::pair<size_t, size_t>> previous;
  for (const auto& [annChoice, boChoice] : rounds) {
    auto a = vote(*ann_, annChoice);
    auto b = vote(*bo_, boChoice);
    ASSERT_TRUE(waitFor([&] { return a->done && b->done; }));
    ASSERT_EQ(a->error, nullptr);
    ASSERT_EQ(b->error, nullptr);
    EXPECT_EQ(a->changed, previous && previous->first != annChoice);
    EXPECT_EQ(b->changed, previous && previous->second != boChoice);
    previous = {annChoice, boChoice};
    int64_t first = (annChoice == 0) + (boChoice == 0);
    EXPECT_EQ(serverVotes(0), first);
    EXPECT_EQ(serverVotes(1), 2 - first);
    // Both caches follow, and the feed reports the change at the same row.
    ASSERT_TRUE(waitFor([&] {
      return bo_->polls->pollForPollId(pollId_)->optionsArray()[0].result() == first &&
             ann_->polls->pollForPollId(pollId_)->optionsArray()[0].result() == first;
    }));
  }
  Value recipients = serverValue("/polls/" + pollId_ + "/recipients");
  EXPECT_EQ(recipients[ann_->uid()]["vote"], Value(option(*ann_, 0).optionId()));
  EXPECT_EQ(recipients[bo_->uid()]["vote"], Value(option(*ann_, 1).optionId()));
  EXPECT_TRUE(waitFor([&] {
    return voteLogEntries(*ann_) == rounds.size() && voteLogEntries(*bo_) == rounds.size();
  }));
  EXPECT_EQ(bo_->postedCount(kUpdatedPollNotification),
            bo_->posted.size() - bo_->postedCount(kAddedPollNotification) -
                bo_->postedCount(kAddedUserNotification));
}

TEST_F(VotingTest, AVoteRerunOnNewerDataReportsOnlyItsLastRun) {
  auto first = vote(*bo_, 0);
  ASSERT_TRUE(waitFor([&] { return first->done; }));
  // While this phone is offline Bo's vote is withdrawn on the server, so the first run sees the
  // old vote and the run on the server's data sees none: the vote is then no change.
  auto database = dz::database::Database::databaseForApp(bo_->environment.app);
  database->goOffline();
  const std::string poll = "/polls/" + pollId_;
  server_->set(poll + "/recipients/" + bo_->uid() + "/vote", nullptr);
  server_->set(poll + "/options/" + option(*bo_, 0).optionId() + "/votes", 0);
  auto again = vote(*bo_, 1);
  database->goOnline();
  ASSERT_TRUE(waitFor([&] { return again->done; }));
  EXPECT_EQ(again->error, nullptr);
  EXPECT_FALSE(again->changed);
  EXPECT_EQ(serverVotes(0), 0);
  EXPECT_EQ(serverVotes(1), 1);
}

TEST_F(VotingTest, CountsStoredAsDoublesOrAtTheLimitsAreCountedOn) {
  constexpr int64_t kMost = std::numeric_limits<int64_t>::max();
  const std::string options = "/polls/" + pollId_ + "/options/";
  const std::string a = options + option(*bo_, 0).optionId() + "/votes";
  const std::string b = options + option(*bo_, 1).optionId() + "/votes";
  auto voteAndWait = [&](size_t n) {
    auto result = vote(*bo_, n);
    ASSERT_TRUE(waitFor([&] { return result->done; }));
    ASSERT_EQ(result->error, nullptr);
  };
  // Another client wrote the count as a double: the vote counts on from it.
  server_->set(a, 3.0);
  ASSERT_TRUE(waitFor([&] { return option(*bo_, 0).result() == 3; }));
  voteAndWait(0);
  EXPECT_EQ(serverVotes(0), 4);

  // Counts at the limits of the integers hold there, in the poll's total and in votes.
  server_->set(b, kMost);
  ASSERT_TRUE(waitFor([&] { return option(*bo_, 1).result() == kMost; }));
  EXPECT_EQ(bo_->polls->pollForPollId(pollId_)->voteCount(), kMost);
  voteAndWait(1);
  EXPECT_EQ(serverVotes(0), 3);
  EXPECT_EQ(serverVotes(1), kMost);
  server_->set(b, std::numeric_limits<int64_t>::min());
  ASSERT_TRUE(waitFor([&] { return option(*bo_, 1).result() < 0; }));
  voteAndWait(0);
  EXPECT_EQ(serverVotes(0), 4);
  EXPECT_EQ(serverVotes(1), 0);
}

TEST_F(VotingTest, AClosedPollStillTakesVotes) {
  write(*ann_, "polls/" + pollId_ + "/closed", Value(true));
  ASSERT_TRUE(waitFor([&] { return bo_->polls->pollForPollId(pollId_)->closed(); }));
  auto result = vote(*bo_, 1);
  ASSERT_TRUE(waitFor([&] { return result->done; }));
  EXPECT_EQ(result->error, nullptr);
  EXPECT_EQ(serverVotes(0), 0);
  EXPECT_EQ(serverVotes(1), 1);
  EXPECT_TRUE(waitFor([&] { return voteLogEntries(*bo_) == 1; }));
}

TEST_F(VotingTest, VotesThePollCannotTakeAreRefused) {
  const std::string options = "polls/" + pollId_ + "/options/";
  const std::string optionA = option(*ann_, 0).optionId();
  const std::string optionB = option(*ann_, 1).optionId();
  auto first = vote(*bo_, 0);
  ASSERT_TRUE(waitFor([&] { return first->done; }));
  ASSERT_EQ(first->error, nullptr);

  // A count lost elsewhere never goes below zero when Bo moves away from it.
  write(*ann_, options + optionA + "/votes", Value(0));
  ASSERT_TRUE(waitFor([&] { return option(*bo_, 0).result() == 0; }));
  auto moved = vote(*bo_, 1);
  ASSERT_TRUE(waitFor([&] { return moved->done; }));
  EXPECT_EQ(moved->error, nullptr);
  EXPECT_TRUE(moved->changed);
  EXPECT_EQ(serverVotes(0), 0);
  EXPECT_EQ(serverVotes(1), 1);
  ASSERT_TRUE(waitFor([&] { return voteLogEntries(*bo_) == 2; }));

  // An option removed since the card was drawn: Bo's cached option still names it. The vote is
  // refused and leaves the poll and the vote log as they were.
  Option stale = option(*bo_, 0);
  write(*ann_, options + optionA, Value());
  ASSERT_TRUE(
      waitFor([&] { return bo_->polls->pollForPollId(pollId_)->optionsArray().size() == 1; }));
  {
    const Value before = serverValue("/polls/" + pollId_);
    const size_t logged = voteLogEntries(*bo_);
    VoteResult result;
    bo_->polls->voteOnOption(stale, [&](const dz::ErrorPtr& error, bool changed, const auto&) {
      result.error = error;
      result.changed = changed;
      result.done = true;
    });
    ASSERT_TRUE(waitFor([&] { return result.done; }));
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->domain(), kPollStorageErrorDomain);
    EXPECT_EQ(result.error->code(), kOptionUnavailable);
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(serverValue("/polls/" + pollId_), before);
    EXPECT_EQ(voteLogEntries(*bo_), logged);
  }

  // A previous vote whose count is missing leaves 0 there.
  write(*ann_, options + optionB + "/votes", Value());
  write(*ann_, options + "c", Value::Map{{"name", "soup"}, {"index", 2}});
  ASSERT_TRUE(
      waitFor([&] { return bo_->polls->pollForPollId(pollId_)->optionsArray().size() == 2; }));
  auto toC = vote(*bo_, 1);
  ASSERT_TRUE(waitFor([&] { return toC->done; }));
  EXPECT_EQ(toC->error, nullptr);
  EXPECT_EQ(serverValue("/" + options + optionB + "/votes"), Value(0));
  EXPECT_EQ(serverValue("/" + options + "c/votes"), Value(1));
  ASSERT_TRUE(waitFor([&] { return voteLogEntries(*bo_) == 3; }));

  // A vote still naming the removed option: moving away from it is a change of vote, and the
  // removed option does not come back.
  write(*ann_, "polls/" + pollId_ + "/recipients/" + bo_->uid() + "/vote", Value(optionA));
  ASSERT_TRUE(waitFor([&] {
    auto recipient = bo_->polls->pollForPollId(pollId_)->recipientForUserId(bo_->uid());
    return recipient && recipient->value()["vote"] == Value(optionA);
  }));
  auto fromRemoved = vote(*bo_, 0);
  ASSERT_TRUE(waitFor([&] { return fromRemoved->done; }));
  EXPECT_EQ(fromRemoved->error, nullptr);
  EXPECT_TRUE(fromRemoved->changed);
  EXPECT_TRUE(serverValue("/" + options + optionA).isNull());
  EXPECT_EQ(serverValue("/" + options + optionB + "/votes"), Value(1));
  EXPECT_EQ(serverValue("/" + options + "c/votes"), Value(1));
  ASSERT_TRUE(waitFor([&] { return voteLogEntries(*bo_) == 4; }));

  // A poll flagged deleted, then one gone altogether, takes no vote.
  Option kept = option(*bo_, 0);
  write(*ann_, "polls/" + pollId_ + "/deleted", Value(true));
  ASSERT_TRUE(waitFor([&] { return !bo_->polls->pollForPollId(pollId_); }));
  for (const char* step : {"deleted", "gone"}) {
    if (std::string(step) == "gone") write(*ann_, "polls/" + pollId_, Value());
    VoteResult result;
    bo_->polls->voteOnOption(kept, [&](const dz::ErrorPtr& error, bool, const auto&) {
      result.error = error;
      result.done = true;
    });
    ASSERT_TRUE(waitFor([&] { return result.done; })) << step;
    ASSERT_NE(result.error, nullptr) << step;
    EXPECT_EQ(result.error->code(), kPollUnavailable) << step;
  }
  EXPECT_TRUE(serverValue("/polls/" + pollId_).isNull());
}

}  // namespace
}  // namespace pollapp::testing
