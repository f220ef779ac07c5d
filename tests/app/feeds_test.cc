// The poll store's feeds against the development server: community and direct polls reach
// exactly the right users' caches, the 48-hour window, deletions, removing all polls, and local
// polls within 20 km.
#include <gtest/gtest.h>

#include "platform/ui/application.h"
#include "platform/ui/location_manager.h"
#include "tests/app/app_fixture.h"

namespace pollapp::testing {
namespace {

using dz::platform::Location;

bool cached(const Device& device, const std::string& pollId) {
  return device.polls->pollForPollId(pollId) != nullptr;
}

class FeedsTest : public AppServerTest {};

TEST_F(FeedsTest, CommunityAndDirectPollsReachExactlyTheirUsers) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  Device& bo = addDevice("bo@mail.school.edu", "Bo", "Li");
  Device& dee = addDevice("dee@school.edu", "Dee", "Ma");
  Device& cy = addDevice("cy@other.org", "Cy", "Fox");
  for (Device* device : {&ann, &bo, &dee}) loadUsers(*device, 3);
  loadUsers(cy, 1);
  for (Device* device : {&ann, &dee, &cy}) {
    device->polls->fetchDirectPolls();
    device->polls->fetchRecentPollsForCommunity();
  }
  bo.polls->fetchDirectPolls();  // Bo sees direct polls only

  std::string community = createPoll(ann, PollType::Community, "Lunch?");
  ASSERT_TRUE(waitFor([&] { return cached(ann, community) && cached(dee, community); }));

  // The sender and Bo are selected, as the compose screen does.
  ann.users->userForUserId(ann.uid())->setSelectedToPoll(true);
  ann.users->userForUserId(bo.uid())->setSelectedToPoll(true);
  std::string direct = createPoll(ann, PollType::Direct, "Movie?");
  ASSERT_TRUE(waitFor([&] { return cached(bo, direct) && cached(ann, direct); }));
  // The domain sees every poll of its own; Dee is no recipient.
  ASSERT_TRUE(waitFor([&] { return cached(dee, direct); }));
  for (Device* device : {&bo, &cy}) settle(*device);
  EXPECT_FALSE(cached(bo, community));
  EXPECT_TRUE(cy.polls->pollsArray().empty());

  Value index = serverValue("/directPollsForUsers");
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(index[bo.uid()][direct]["sender"], Value(ann.uid()));
  EXPECT_TRUE(index[ann.uid()][direct].isMap());
  Value record = serverValue("/polls/" + direct);
  EXPECT_EQ(record["recipients"].size(), 2u);
  EXPECT_EQ(record["type"], Value("direct"));
  EXPECT_EQ(record["options"].size(), 2u);

  // Newest first, and each first value posted as an addition at its row.
  ASSERT_EQ(ann.polls->pollsArray().size(), 2u);
  EXPECT_EQ(ann.polls->pollsArray()[0]->pollId(), direct);
  EXPECT_EQ(ann.postedCount(kAddedPollNotification), 2u);
  EXPECT_EQ(ann.posted.back().userInfo.at("index"), Value(0));
  // Ann's polls were seen once each (each found once per feed that holds it).
  EXPECT_GE(ann.polls->directPollCountsBySenderID().at(ann.uid()), 2);
}

TEST_F(FeedsTest, WindowDeletionsAndRemovingAllPolls) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  loadUsers(ann, 1);
  const double now = dz::platform::wallClockSeconds();
  std::string recent = createPoll(ann, PollType::Community, "47h", std::nullopt, now - 47 * 3600);
  std::string old = createPoll(ann, PollType::Community, "49h", std::nullopt, now - 49 * 3600);
  std::string doomed = createPoll(ann, PollType::Community, "doomed", Location(48.1, 11.5));
  std::string flagged = createPoll(ann, PollType::Community, "flagged");
  ASSERT_TRUE(serverValue("/pollgeo/" + doomed).isMap());
  ann.polls->fetchRecentPollsForCommunity();
  ASSERT_TRUE(waitFor([&] { return ann.polls->pollsArray().size() == 3; }));
  EXPECT_FALSE(cached(ann, old));
  EXPECT_EQ(ann.polls->pollsArray().back()->pollId(), recent);

  // A vanished node leaves the cache with its index and geo entries; a flagged one keeps them.
  write(ann, "directPollsForUsers/" + ann.uid() + "/" + doomed, Value::Map{{"sender", "x"}});
  size_t row = *ann.polls->indexOfPollWithId(doomed);
  write(ann, "polls/" + doomed, Value());
  ASSERT_TRUE(waitFor([&] { return !cached(ann, doomed); }));
  EXPECT_EQ(ann.posted.back().name, kDeletedPollNotification);
  EXPECT_EQ(ann.posted.back().userInfo.at("pollIndex"), Value(row));
  ASSERT_TRUE(server_->waitUntil([&] {
    return serverValue("/pollgeo/" + doomed).isNull() &&
           serverValue("/directPollsForUsers/" + ann.uid() + "/" + doomed).isNull();
  }));
  write(ann, "pollgeo/" + flagged, Value::Map{{"g", "u281z7j5"}, {"l", Value::Array{48.1, 11.5}}});
  write(ann, "polls/" + flagged + "/deleted", Value(true));
  ASSERT_TRUE(waitFor([&] { return !cached(ann, flagged); }));
  settle(ann);
  EXPECT_TRUE(serverValue("/pollgeo/" + flagged).isMap());

  // Dropped polls stay dropped when they change later.
  ann.polls->removeAllPolls();
  EXPECT_TRUE(ann.polls->pollsArray().empty());
  const size_t posts = ann.posted.size();
  write(ann, "polls/" + recent + "/question", Value("changed"));
  settle(ann);
  EXPECT_TRUE(ann.polls->pollsArray().empty());
  EXPECT_EQ(ann.posted.size(), posts);
}

TEST_F(FeedsTest, LocalPollsWithinTwentyKilometresAppear) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  Device& cy = addDevice("cy@other.org", "Cy", "Fox");
  loadUsers(ann, 1);
  loadUsers(cy, 1);
  const Location home(48.1000, 11.5000);
  // About 11 km and 31 km north of Ann.
  std::string far = createPoll(cy, PollType::Local, "far", Location(48.3800, 11.5000));
  std::string near = createPoll(cy, PollType::Local, "near", Location(48.2000, 11.5000));
  std::string direct = createPoll(cy, PollType::Direct, "direct", Location(48.1, 11.5));
  EXPECT_TRUE(serverValue("/pollgeo/" + direct).isNull());
  EXPECT_EQ(serverValue("/polls/" + direct + "/location/latitude"), Value(48.1));

  // Ann's phone reports its position; with local polls on, the feed starts by itself.
  ann.environment.defaults->setBool(true, layout::kLocalPollsOnDefault);
  auto& simulator = dz::ui::LocationManager::simulator();
  simulator.reset();
  simulator.setCurrentLocation(
      dz::ui::Location{home.coordinate().latitude, home.coordinate().longitude});
  ann.locations->requestLocationOnce();
  ASSERT_TRUE(waitFor([&] { return cached(ann, near); }));
  EXPECT_EQ(serverValue("/users/" + ann.uid() + "/location/latitude"), Value(48.1));
  EXPECT_TRUE(serverValue("/usergeo/" + ann.uid()).isMap());
  settle(ann);
  EXPECT_FALSE(cached(ann, far));
  EXPECT_FALSE(cached(ann, direct));
  EXPECT_EQ(ann.locations->locationManager()->desiredAccuracy(),
            dz::ui::kLocationAccuracyThreeKilometers);
  simulator.reset();
}

}  // namespace
}  // namespace pollapp::testing
