// LocationStorage: keeps the signed-in user's position in the database: the "location" field of
// the user record and the user's "usergeo" entry, which new polls take as their position and local
// pushes search. It drives the platform's location manager: one-shot requests while the
// application is in front, significant-change monitoring in the background (writing only after
// a move of more than 30.48 m), and restarts the local feed after each foreground write while
// local polls are on.
//
// One per device: sharedManager() for the process, create() for tests. Main thread only; the
// location manager calls back on the main queue.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "app/environment.h"
#include "app/poll_storage.h"
#include "geo/geo_store.h"
#include "platform/location.h"
#include "platform/ui/location_manager.h"

namespace pollapp {

inline constexpr char kLocationErrorStatus[] =
    "Allow location access in Settings, or toggle locals off below";
// Background writes wait for a move longer than this, in metres.
inline constexpr double kBackgroundMoveMeters = 30.48;

class LocationStorage : public dz::ui::LocationManagerDelegate,
                        public std::enable_shared_from_this<LocationStorage> {
 public:
  static std::shared_ptr<LocationStorage> sharedManager();
  static std::shared_ptr<LocationStorage> create(Environment environment,
                                                 std::shared_ptr<PollStorage> pollStorage);
  LocationStorage(const LocationStorage&) = delete;
  LocationStorage& operator=(const LocationStorage&) = delete;

  // Asks for one position now (the first call makes the manager and asks for permission).
  void requestLocationOnce();
  // Starts background monitoring; nothing before the first request made the manager.
  void trackSignificantChanges();
  // Stops location updates.
  void stopTracking();
  // For local polls switched off: stops every request and the monitoring, and removes the
  // user's "usergeo" entry, so that local polls of others no longer find this user.
  void stopLocalPolls();

  // Write a position; one off the map is logged and dropped.
  void updateUserLocation(const dz::platform::Location& location);
  void updateUserLocationInBackground(const dz::platform::Location& location);

  // LocationManagerDelegate
  void didUpdateLocations(dz::ui::LocationManager& manager,
                          const std::vector<dz::ui::Location>& locations) override;
  void didFailWithError(dz::ui::LocationManager& manager, const dz::ErrorPtr& error) override;

  const std::shared_ptr<dz::ui::LocationManager>& locationManager() const {
    return locationManager_;
  }
  const std::optional<dz::platform::Location>& previousLocation() const {
    return previousLocation_;
  }

 private:
  LocationStorage(Environment environment, std::shared_ptr<PollStorage> pollStorage);

  const Environment environment_;
  const std::shared_ptr<PollStorage> pollStorage_;
  const dz::database::DatabaseReference rootRef_;
  const std::shared_ptr<dz::geo::GeoStore> userGeoStoreRef_;
  std::shared_ptr<dz::ui::LocationManager> locationManager_;
  std::optional<dz::platform::Location> previousLocation_;
};

}  // namespace pollapp
