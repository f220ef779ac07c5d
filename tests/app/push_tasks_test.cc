// Push task records against the development server: who gets one, and exactly which fields and
// texts each holds.
#include <gtest/gtest.h>

#include "tests/app/app_fixture.h"

namespace pollapp::testing {
namespace {

using dz::platform::Location;

class PushTasksTest : public AppServerTest {
 protected:
  std::vector<Value> tasks() {
    std::vector<Value> all;
    Value queue = serverValue("/queue/tasks");
    if (queue.isMap()) {
      for (const auto& [key, task] : queue.asMap()) all.push_back(task);
    }
    return all;
  }
  // Waits for `count` records, then for a round trip of every device, and returns them all.
  std::vector<Value> waitForTasks(size_t count) {
    EXPECT_TRUE(waitFor([&] { return tasks().size() >= count; })) << tasks().size();
    for (auto& device : devices_) settle(*device);
    return tasks();
  }
  void clearTasks() { server_->set("/queue", nullptr); }
  static Value::Map record(std::initializer_list<std::pair<const std::string, Value>> fields) {
    Value::Map map(fields);
    map["_state"] = "start_push";
    return map;
  }
  static bool contains(const std::vector<Value>& all, const Value::Map& expected) {
    return std::find(all.begin(), all.end(), Value(expected)) != all.end();
  }
};

TEST_F(PushTasksTest, PollAndVoteRecordsHoldExactlyTheirFields) {
  const Value::Map named = {{"showPollCreator", true}, {"showPollVoter", true}};
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee", named);
  Device& bo = addDevice("bo@school.edu", "Bo", "Li", named);
  Device& dee = addDevice("dee@school.edu", "Dee", "Ma", {{"showPollVoter", false}});
  Device& cy = addDevice("cy@other.org", "Cy", "Fox", named);
  for (Device* device : {&ann, &bo, &dee}) loadUsers(*device, 3);
  loadUsers(cy, 1);
  // Dee never got a device token.
  for (Device* device : {&ann, &bo, &cy}) {
    write(*device, "users/" + device->uid() + "/deviceToken", Value("tok-" + device->uid()));
  }
  auto token = [](Device& device) { return Value("tok-" + device.uid()); };

  // A direct poll to Bo and Dee, the sender selected too: only those with a token get one.
  for (Device* device : {&ann, &bo, &dee})
    ann.users->userForUserId(device->uid())->setSelectedToPoll(true);
  std::string direct = createPoll(ann, PollType::Direct, "Lunch?");
  auto pollRef = ann.root().child("polls").child(direct);
  ann.notifications->sendDirectPollNotification(pollRef, "Lunch?", 0);
  std::vector<Value> all = waitForTasks(2);
  EXPECT_EQ(all.size(), 2u);
  for (Device* receiver : {&ann, &bo}) {
    EXPECT_TRUE(contains(all, record({{"question", "Lunch?"},
                                      {"message", "Ann asked 'Lunch?'. Expires in 48 hours."},
                                      {"deviceToken", token(*receiver)},
                                      {"pollId", direct},
                                      {"userId", receiver->uid()}})));
  }

  // Votes on it: Bo's first vote and re-vote name him; Dee's stay anonymous or silent.
  clearTasks();
  PollPtr poll = ann.polls->pollForPollId(direct);
  if (!poll) {
    ann.polls->observePollWithId(direct);
    ASSERT_TRUE(waitFor([&] { return (poll = ann.polls->pollForPollId(direct)) != nullptr; }));
  }
  bo.notifications->sendVoteNotificationForPoll(*poll, false);
  bo.notifications->sendVoteNotificationForPoll(*poll, true);
  dee.notifications->sendVoteNotificationForPoll(*poll, false);
  dee.notifications->sendVoteNotificationForPoll(*poll, true);
  all = waitForTasks(3);
  EXPECT_EQ(all.size(), 3u);
  auto vote = [&](Device& voter, const char* message) {
    return record({{"question", "Lunch?"},
                   {"message", message},
                   {"deviceToken", token(ann)},
                   {"pollId", direct},
                   {"voterId", voter.uid()},
                   {"senderId", ann.uid()}});
  };
  EXPECT_TRUE(contains(all, vote(bo, "Bo Li voted on your poll")));
  EXPECT_TRUE(contains(all, vote(bo, "Bo Li re-voted on your poll!")));
  EXPECT_TRUE(contains(all, vote(dee, "You got a new vote")));

  // A community poll from Dee, sent twice, reaches the domain's users with a token once per
  // call, and keeps reaching users who join the domain later: Eve joins with a token.
  clearTasks();
  std::string community = createPoll(dee, PollType::Community, "Pizza?");
  for (int call = 0; call < 2; ++call) {
    dee.notifications->sendCommunityPollNotification(dee.root().child("polls").child(community),
                                                     "Pizza?", "school.edu", 0);
  }
  auto communityRecord = [&](const Value& deviceToken, const std::string& uid) {
    return record({{"question", "Pizza?"},
                   {"message", "Someone polled you: 'Pizza?'. Expires in 48 hours."},
                   {"deviceToken", deviceToken},
                   {"pollId", community},
                   {"userId", uid}});
  };
  all = waitForTasks(4);
  EXPECT_EQ(all.size(), 4u);
  for (Device* receiver : {&ann, &bo}) {
    EXPECT_EQ(std::count(all.begin(), all.end(),
                         Value(communityRecord(token(*receiver), receiver->uid()))),
              2);
  }
  server_->setJson("/users/eve",
                   R"({"firstName": "Eve", "domain": "school.edu", "deviceToken": "tok-eve"})");
  all = waitForTasks(6);
  EXPECT_EQ(all.size(), 6u);
  EXPECT_EQ(std::count(all.begin(), all.end(), Value(communityRecord(Value("tok-eve"), "eve"))), 2);

  // A local poll reaches those within 20 km of it when it is sent.
  clearTasks();
  ann.locations->updateUserLocation(Location(48.10, 11.50));
  cy.locations->updateUserLocation(Location(48.15, 11.55));
  bo.locations->updateUserLocation(Location(48.40, 11.50));  // 33 km away
  ASSERT_TRUE(waitFor([&] { return serverValue("/usergeo").size() == 3; }));
  std::string local = createPoll(cy, PollType::Local, "Storm?", Location(48.12, 11.52));
  cy.notifications->sendLocalPollNotification(cy.root().child("polls").child(local), "Storm?",
                                              Location(48.12, 11.52), 0);
  all = waitForTasks(2);
  EXPECT_EQ(all.size(), 2u);
  for (Device* receiver : {&ann, &cy}) {
    EXPECT_TRUE(contains(all, record({{"question", "Storm?"},
                                      {"message", "LIVE: 'Storm?'"},
                                      {"deviceToken", token(*receiver)},
                                      {"pollId", local},
                                      {"userId", receiver->uid()},
                                      {"pollType", "local"}})));
  }
}

}  // namespace
}  // namespace pollapp::testing
