// Records built from snapshots, their diffs, e-mail domains, device-token text and version
// comparison: pure functions, no server.
#include "app/records.h"

#include <gtest/gtest.h>

#include <limits>

#include "app/update_manager.h"
#include "app/user_storage.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/snapshot_utilities.h"

namespace pollapp {
namespace {

using dz::Value;
using dz::database::IndexedNode;
using dz::database::Path;
using dz::database::SnapshotUtilities;

DataSnapshot snapshot(const char* json, const char* path) {
  return DataSnapshot(nullptr, Path(path),
                      IndexedNode(SnapshotUtilities::nodeFrom(*Value::parseJson(json))));
}

PollPtr poll(const char* json) { return Poll::fromSnapshot(snapshot(json, "/polls/p1")); }

TEST(RecordsTest, PollsReadTheirFieldsLeniently) {
  PollPtr full = poll(R"({"sender": "u1", "question": "Lunch?", "closed": true, "type": "local",
      "domain": "school.edu", "createdAt": 1700000000.5,
      "options": {"a": {"index": 0, "name": "pizza", "votes": 3},
                  "b": {"index": 1, "name": "salad"}, "c": {"name": "soup", "votes": 2.0}},
      "recipients": {"u2": {"firstName": "Bo"}, "u1": {"firstName": "Ann", "vote": "a"}}})");
  EXPECT_EQ(full->pollId(), "p1");
  EXPECT_EQ(full->type(), PollType::Local);
  EXPECT_TRUE(full->closed());
  EXPECT_DOUBLE_EQ(full->creationDateTime(), 1700000000.5);
  ASSERT_EQ(full->optionsArray().size(), 3u);
  EXPECT_EQ(full->optionsArray()[1].result(), 0);
  EXPECT_EQ(full->voteCount(), 5);
  EXPECT_EQ(full->optionsArray()[0].poll(), full);
  ASSERT_EQ(full->recipientsArray().size(), 2u);
  EXPECT_EQ(full->recipientsArray()[0].key(), "u1");
  EXPECT_EQ(full->recipientForUserId("u1")->value()["vote"], Value("a"));
  EXPECT_FALSE(full->recipientForUserId("u2")->hasChild("vote"));
  EXPECT_FALSE(full->recipientForUserId("u3"));

  EXPECT_EQ(poll(R"({"type": "community"})")->type(), PollType::Community);
  EXPECT_EQ(poll(R"({"type": "other"})")->type(), PollType::Community);
  EXPECT_EQ(poll(R"({"type": "direct", "options": 7, "question": 3})")->type(), PollType::Direct);
  // Nodes that are no map build empty records.
  EXPECT_EQ(poll("12")->voteCount(), 0);
  EXPECT_TRUE(Poll::fromSnapshot(snapshot("null", "/polls/p2"))->optionsArray().empty());
}

TEST(RecordsTest, TotalsOfAnyStoredCountsHoldAtTheLimits) {
  constexpr int64_t kMost = std::numeric_limits<int64_t>::max();
  constexpr int64_t kLeast = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(
      poll(R"({"options": {"a": {"votes": 9223372036854775807}, "b": {"votes": 1}}})")->voteCount(),
      kMost);
  EXPECT_EQ(poll(R"({"options": {"a": {"votes": -9223372036854775808}, "b": {"votes": -1}}})")
                ->voteCount(),
            kLeast);
  EXPECT_EQ(poll(R"({"options": {"a": {"votes": 1e300}, "b": {"votes": 2.0}}})")->voteCount(), 2);
  EXPECT_EQ(addCounts(kMost, 1), kMost);
  EXPECT_EQ(addCounts(kLeast, -1), kLeast);
  EXPECT_EQ(addCounts(kMost, kLeast), -1);
}

TEST(RecordsTest, DiffsMarkCountsAndClosing) {
  PollPtr open = poll(R"({"options": {"a": {"votes": 2}, "b": {"votes": 2}, "c": {}, "d": {}}})");
  PollPtr closed = poll(R"({"closed": true, "options": {"a": {"votes": 3}, "b": {"votes": 1}}})");
  PollDiff diff = open->diffFromPoll(*closed);
  EXPECT_EQ(diff.closed, 1);
  EXPECT_EQ(diff.reopened, 0);
  ASSERT_EQ(diff.options.size(), 2u);
  EXPECT_EQ(diff.options[0], (OptionDiff{.gained = true, .lost = false}));
  EXPECT_EQ(diff.options[1], (OptionDiff{.gained = false, .lost = true}));
  PollDiff back = closed->diffFromPoll(*open);
  EXPECT_EQ(back.closed, 0);
  EXPECT_EQ(back.reopened, 1);
  EXPECT_EQ(back.options.size(), 2u);
  EXPECT_EQ(open->optionsArray()[0].diffFromOption(open->optionsArray()[1]), OptionDiff{});
}

TEST(RecordsTest, UsersAndDomains) {
  User user(snapshot(R"({"firstName": "Ann", "domain": "school.edu", "phoneNumber": 5,
      "experiments": {"showPollCreator": true, "showPollVoter": false, "odd": "yes"}})",
                     "/users/u1"));
  EXPECT_EQ(user.userId(), "u1");
  EXPECT_EQ(user.phoneNumber(), "");
  EXPECT_FALSE(user.localPollsOn());
  EXPECT_EQ(user.experiments(),
            (std::map<std::string, bool>{{"showPollCreator", true}, {"showPollVoter", false}}));
  EXPECT_TRUE(User(snapshot("null", "/users/u2")).experiments().empty());

  EXPECT_EQ(domainForEmail("ann@mail.school.edu"), "school.edu");
  EXPECT_EQ(domainForEmail("ann@school.edu"), "school.edu");
  EXPECT_EQ(domainForEmail("a@b@x.y.z"), "y.z");
  EXPECT_EQ(domainForEmail("ann@localhost"), "localhost");
  EXPECT_EQ(hexStringFromBytes({0x00, 0xab, 0x7f, 0xff}), "00ab7fff");
}

TEST(RecordsTest, VersionsCompareByNumbersSafely) {
  EXPECT_EQ(UpdateManager::compareVersion("1.4.12", "1.4.12"), 0);
  EXPECT_EQ(UpdateManager::compareVersion("1.4.13", "1.4.12"), 1);
  EXPECT_EQ(UpdateManager::compareVersion("1.4.2", "1.4.12"), -1);
  EXPECT_EQ(UpdateManager::compareVersion("1.5", "1.4.12"), 1);
  EXPECT_EQ(UpdateManager::compareVersion("1.4.12.0", "1.4.12"), 0);
  // Parts that are no numbers count by their leading digits, 0 without any; numbers past any
  // integer type still order.
  EXPECT_EQ(UpdateManager::compareVersion("1.4b", "1.4"), 0);
  EXPECT_EQ(UpdateManager::compareVersion("beta", "0"), 0);
  EXPECT_EQ(UpdateManager::compareVersion("1.99999999999999999999999", "1.99999999999999999999998"),
            1);
  EXPECT_EQ(UpdateManager::compareVersion("1.0009", "1.10"), -1);
  EXPECT_EQ(UpdateManager::compareVersion("", "0.0"), 0);
  EXPECT_EQ(UpdateManager::splitVersionString("1..2"), (std::vector<std::string>{"1", "", "2"}));
}

}  // namespace
}  // namespace pollapp
