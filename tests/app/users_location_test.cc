// The user store, the device token and the location store against the development server.
#include <gtest/gtest.h>

#include "analytics/analytics.h"
#include "hud/progress_hud.h"
#include "platform/exception.h"
#include "platform/ui/application.h"
#include "platform/ui/location_manager.h"
#include "tests/app/app_fixture.h"

namespace pollapp::testing {
namespace {

using dz::platform::Location;

class UsersLocationTest : public AppServerTest {};

TEST_F(UsersLocationTest, OwnRecordAndDomainUsers) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee", {{"showPollVoter", true}});
  Device& bo = addDevice("bo@school.edu", "Bo", "Li");
  addDevice("cy@other.org", "Cy", "Fox");

  // A record not written yet is not kept as an empty user: the next call reads again.
  write(bo, "users/" + bo.uid(), Value());
  bool called = false, gotUser = true;
  bo.users->fetchOrGetCurrentUserWithCompletionBlock([&](UserPtr user) {
    gotUser = user != nullptr;
    called = true;
  });
  ASSERT_TRUE(waitFor([&] { return called; }));
  EXPECT_FALSE(gotUser);
  EXPECT_EQ(bo.users->currentUser(), nullptr);
  write(bo, "users/" + bo.uid(),
        Value::Map{{"firstName", "Bo"}, {"domain", "school.edu"}, {"localPollsOn", true}});
  loadUsers(bo, 2);
  EXPECT_EQ(bo.users->currentUser()->firstName(), "Bo");
  EXPECT_TRUE(bo.environment.defaults->boolForKey(layout::kLocalPollsOnDefault));
  EXPECT_FALSE(bo.environment.defaults->objectForKey(layout::kUserExperimentsDefault));
  EXPECT_EQ(dz::analytics::Analytics::userProperty("_id"), bo.uid());

  // Known already: answered at once, without a read.
  called = false;
  bo.users->fetchOrGetCurrentUserWithCompletionBlock([&](UserPtr) { called = true; });
  EXPECT_TRUE(called);

  // Fetching the domain again appends nobody twice.
  loadUsers(ann, 2);
  EXPECT_EQ(ann.environment.defaults->objectForKey(layout::kUserExperimentsDefault),
            Value(Value::Map{{"showPollVoter", true}}));
  ann.users->fetchRelatedUsers();
  Device& dee = addDevice("dee@school.edu", "Dee", "Ma");
  ASSERT_TRUE(waitFor([&] { return ann.users->userForUserId(dee.uid()) != nullptr; }));
  EXPECT_EQ(ann.users->usersArray().size(), 3u);
  EXPECT_EQ(ann.postedCount(kAddedUserNotification), 3u);
  EXPECT_EQ(ann.posted.back().userInfo.at("user"), Value(dee.uid()));
  EXPECT_EQ(ann.users->userForUserId("nobody"), nullptr);
}

TEST_F(UsersLocationTest, DeviceTokenIsHexOfItsBytesAndNeedsASignedInUser) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  EXPECT_TRUE(storeDeviceToken(ann.environment, {0x0f, 0xa0, 0x3c, 0x20, 0x3e}));
  ASSERT_TRUE(waitFor(
      [&] { return serverValue("/users/" + ann.uid() + "/deviceToken") == Value("0fa03c203e"); }));
  const std::string uid = ann.uid();
  ann.environment.auth()->signOut();
  EXPECT_FALSE(storeDeviceToken(ann.environment, {0x01}));
  EXPECT_THROW(UserStorage::create(ann.environment), dz::Exception);
  EXPECT_EQ(serverValue("/users/" + uid + "/deviceToken"), Value("0fa03c203e"));
}

TEST_F(UsersLocationTest, BackgroundMovesAndSwitchingLocalPollsOff) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  loadUsers(ann, 1);
  auto& simulator = dz::ui::LocationManager::simulator();
  simulator.reset();
  simulator.setCurrentLocation(dz::ui::Location{48.1, 11.5});
  const std::string geo = "/usergeo/" + ann.uid();
  auto latitude = [&] {
    const Value entry = serverValue(geo);  // arrays are stored as maps with "0", "1"
    return entry["l"]["0"];
  };

  // In the background the first position writes; 20 m further does not; 31 m from it does.
  ann.locations->requestLocationOnce();
  ASSERT_TRUE(waitFor([&] { return latitude() == Value(48.1); }));
  ann.locations->trackSignificantChanges();
  EXPECT_TRUE(ann.locations->locationManager()->isMonitoringSignificantChanges());
  auto& application = dz::ui::Application::shared();
  application.enterBackground();
  const double metre = 1.0 / 111195.0;  // degrees of latitude
  simulator.moveTo({48.2, 11.5});
  ASSERT_TRUE(waitFor([&] { return latitude() == Value(48.2); }));
  simulator.moveTo({48.2 + 20 * metre, 11.5});
  settle(ann);
  EXPECT_EQ(latitude(), Value(48.2));
  simulator.moveTo({48.2 + 31 * metre, 11.5});
  ASSERT_TRUE(waitFor([&] { return latitude() == Value(48.2 + 31 * metre); }));
  EXPECT_EQ(ann.locations->previousLocation(), Location(48.2 + 31 * metre, 11.5));

  // Positions off the map are never written.
  ann.locations->updateUserLocation(Location(91, 11.5));
  ann.locations->updateUserLocationInBackground(Location(48.3, 181));
  application.enterForeground();
  application.becomeActive();

  // Switching local polls off ends the monitoring and takes the user out of local searches.
  ann.locations->stopLocalPolls();
  EXPECT_FALSE(ann.locations->locationManager()->isMonitoringSignificantChanges());
  ASSERT_TRUE(waitFor([&] { return serverValue(geo).isNull(); }));
  simulator.moveTo({48.5, 11.5});
  settle(ann);
  EXPECT_TRUE(serverValue(geo).isNull());
  EXPECT_EQ(serverValue("/users/" + ann.uid() + "/location/latitude"), Value(48.2 + 31 * metre));
  simulator.reset();
}

TEST_F(UsersLocationTest, ARefusedPermissionEndsInTheErrorOverlay) {
  Device& ann = addDevice("ann@school.edu", "Ann", "Lee");
  auto& simulator = dz::ui::LocationManager::simulator();
  simulator.reset();
  simulator.setAnswer(dz::ui::LocationAuthorization::Denied);
  std::optional<Value> status;
  auto& center = dz::platform::NotificationCenter::defaultCenter();
  auto token = center.addObserver(
      dz::hud::kProgressHUDWillAppearNotification, nullptr, nullptr,
      [&](const dz::platform::Notification& notification) {
        auto found = notification.userInfo.find(dz::hud::kProgressHUDStatusUserInfoKey);
        if (found != notification.userInfo.end()) {
          status = found->second;
        }
      });
  ann.locations->requestLocationOnce();
  EXPECT_TRUE(waitFor([&] { return status.has_value(); }));
  EXPECT_EQ(status, Value(kLocationErrorStatus));
  // A second request reuses the manager and asks for permission no more.
  ann.locations->requestLocationOnce();
  EXPECT_EQ(ann.locations->locationManager()->authorizationRequests(), 1);
  center.removeObserver(token);
  dz::hud::ProgressHUD::dismiss();
  simulator.reset();
}

}  // namespace
}  // namespace pollapp::testing
