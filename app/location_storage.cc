#include "app/location_storage.h"

#include <cstdio>

#include "app/database_layout.h"
#include "hud/progress_hud.h"
#include "platform/log.h"
#include "platform/queue_check.h"
#include "platform/ui/application.h"

namespace pollapp {

using dz::Value;
using dz::platform::Location;

namespace {

void logLocation(const std::string& line) { dz::platform::logLine("LocationStorage: " + line); }

}  // namespace

LocationStorage::LocationStorage(Environment environment, std::shared_ptr<PollStorage> pollStorage)
    : environment_(std::move(environment)),
      pollStorage_(std::move(pollStorage)),
      rootRef_(environment_.rootRef()),
      userGeoStoreRef_(dz::geo::GeoStore::create(rootRef_.child(layout::kUserGeo))) {}

std::shared_ptr<LocationStorage> LocationStorage::create(Environment environment,
                                                         std::shared_ptr<PollStorage> pollStorage) {
  return std::shared_ptr<LocationStorage>(
      new LocationStorage(std::move(environment), std::move(pollStorage)));
}

void LocationStorage::requestLocationOnce() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (!locationManager_) {
    locationManager_ = dz::ui::LocationManager::create();
    locationManager_->setDelegate(weak_from_this());
    locationManager_->requestAlwaysAuthorization();
  } else {
    locationManager_->stopUpdatingLocation();
  }
  locationManager_->setDesiredAccuracy(dz::ui::kLocationAccuracyThreeKilometers);
  locationManager_->requestLocation();
}

void LocationStorage::trackSignificantChanges() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  logLocation("starting background location updates");
  if (!locationManager_) return;
  locationManager_->setAllowsBackgroundLocationUpdates(true);
  locationManager_->startMonitoringSignificantLocationChanges();
}

void LocationStorage::stopTracking() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (locationManager_) locationManager_->stopUpdatingLocation();
}

void LocationStorage::stopLocalPolls() {
  DZ_ASSERT_ON_MAIN_QUEUE();
  if (locationManager_) {
    locationManager_->stopUpdatingLocation();
    locationManager_->stopMonitoringSignificantLocationChanges();
    locationManager_->setAllowsBackgroundLocationUpdates(false);
  }
  previousLocation_.reset();
  if (std::optional<std::string> uid = environment_.signedInUid()) {
    userGeoStoreRef_->removeKey(*uid);
  }
}

void LocationStorage::didUpdateLocations(dz::ui::LocationManager&,
                                         const std::vector<dz::ui::Location>& locations) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  logLocation("didUpdateLocations called");
  if (locations.empty()) return;
  const Location last(locations.back().latitude, locations.back().longitude);
  if (dz::ui::Application::shared().state() == dz::ui::ApplicationState::Background) {
    updateUserLocationInBackground(last);
  } else {
    updateUserLocation(last);
  }
}

void LocationStorage::didFailWithError(dz::ui::LocationManager&, const dz::ErrorPtr& error) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  logLocation("location update error: " + error->localizedDescription());
  dz::hud::ProgressHUD::showErrorWithStatus(std::string(kLocationErrorStatus));
}

void LocationStorage::updateUserLocation(const Location& location) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  logLocation("updating user location in Dezuvura");
  std::optional<std::string> uid = environment_.signedInUid();
  // The geo store refuses such positions by throwing; the record must not hold them either.
  if (!uid || !dz::platform::isValidCoordinate(location.coordinate())) {
    logLocation("no signed-in user or a position off the map; nothing written");
    return;
  }
  rootRef_.child(layout::kUsers)
      .child(*uid)
      .child(layout::kLocation)
      .updateChildValues({{layout::kLatitude, location.coordinate().latitude},
                          {layout::kLongitude, location.coordinate().longitude}});
  userGeoStoreRef_->setLocation(location, *uid);
  if (dz::ui::Application::shared().state() == dz::ui::ApplicationState::Active &&
      environment_.defaults->boolForKey(layout::kLocalPollsOnDefault)) {
    pollStorage_->fetchLocalPolls();
  } else {
    logLocation("location updated but local polls off, or was in background");
  }
}

void LocationStorage::updateUserLocationInBackground(const Location& location) {
  DZ_ASSERT_ON_MAIN_QUEUE();
  logLocation("updating in background");
  double distance = previousLocation_ ? location.distanceFrom(*previousLocation_) : 0;
  char line[96];
  std::snprintf(line, sizeof line, "distance traveled since last update: %g meters", distance);
  logLocation(line);
  if (previousLocation_ && !(distance > kBackgroundMoveMeters)) return;
  if (!dz::platform::isValidCoordinate(location.coordinate())) return;
  updateUserLocation(location);
  previousLocation_ = location;
}

}  // namespace pollapp
