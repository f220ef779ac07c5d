// The location and notification-permission simulators the application's later screens use.
#include <gtest/gtest.h>

#include "platform/ui/location_manager.h"
#include "platform/ui/user_notification_center.h"
#include "tests/platform/ui/ui_test_clock.h"

namespace dz::ui {
namespace {

using test::pump;

class Recorder : public LocationManagerDelegate {
 public:
  std::vector<Location> locations;
  std::vector<int64_t> errors;
  void didUpdateLocations(LocationManager&, const std::vector<Location>& update) override {
    locations.insert(locations.end(), update.begin(), update.end());
  }
  void didFailWithError(LocationManager&, const ErrorPtr& error) override {
    errors.push_back(error->code());
  }
};

TEST(LocationManagerTest, OneShotRequestsAndSignificantChanges) {
  auto& simulator = LocationManager::simulator();
  simulator.reset();
  auto recorder = std::make_shared<Recorder>();
  auto manager = LocationManager::create();
  manager->setDelegate(recorder);

  manager->requestLocation();  // not authorized yet
  pump();
  EXPECT_EQ(recorder->errors, std::vector<int64_t>{kLocationErrorDenied});

  manager->requestAlwaysAuthorization();
  simulator.setCurrentLocation(Location{37.0, -122.0});
  manager->requestLocation();
  manager->stopUpdatingLocation();  // ends the request in flight
  manager->requestLocation();
  pump();
  EXPECT_EQ(recorder->locations, (std::vector<Location>{{37.0, -122.0}}));

  manager->startMonitoringSignificantLocationChanges();
  simulator.moveTo({37.001, -122.0});
  pump();
  ASSERT_EQ(recorder->locations.size(), 2u);
  EXPECT_NEAR(recorder->locations[0].distanceFrom(recorder->locations[1]), 111.2, 0.5);
  simulator.reset();
}

TEST(UserNotificationCenterTest, AnswersWithTheSimulatedChoice) {
  auto& center = UserNotificationCenter::current();
  center.reset();
  center.setGrants(false);
  std::optional<bool> granted;
  center.requestAuthorization(kNotificationBadge | kNotificationSound | kNotificationAlert,
                              [&](bool answer, ErrorPtr) { granted = answer; });
  EXPECT_FALSE(granted);
  pump();
  EXPECT_EQ(granted, false);
  EXPECT_EQ(center.requests(), std::vector<unsigned>{7});
  center.reset();
}

}  // namespace
}  // namespace dz::ui
