// LocationManager: the platform's location service, simulated. A test or the program decides
// the authorization and feeds positions (LocationManager::simulator()); managers deliver them to
// their delegates on the main queue: one-shot requests get the current position, significant-
// change monitoring every position fed while it runs. A refused or missing position reaches the
// delegate as an error. Delegates are held weakly. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"

namespace dz::ui {

class LocationManager;

struct Location {
  double latitude = 0;
  double longitude = 0;
  // Metres along the earth's surface (a sphere of the mean radius).
  double distanceFrom(const Location& other) const;
  friend bool operator==(const Location&, const Location&) = default;
};

enum class LocationAuthorization { NotDetermined, Denied, AuthorizedAlways, AuthorizedWhenInUse };

// The accuracy classes, in metres as the platform gives them.
inline constexpr double kLocationAccuracyBest = -1;
inline constexpr double kLocationAccuracyThreeKilometers = 3000;

inline constexpr char kLocationErrorDomain[] = "kCLErrorDomain";
inline constexpr int kLocationErrorUnknown = 0;
inline constexpr int kLocationErrorDenied = 1;

class LocationManagerDelegate {
 public:
  virtual ~LocationManagerDelegate() = default;
  virtual void didUpdateLocations(LocationManager&, const std::vector<Location>&) {}
  virtual void didFailWithError(LocationManager&, const ErrorPtr&) {}
};

class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  static std::shared_ptr<LocationManager> create();
  ~LocationManager();

  void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  double desiredAccuracy() const { return desiredAccuracy_; }
  void setDesiredAccuracy(double metres) { desiredAccuracy_ = metres; }
  bool allowsBackgroundLocationUpdates() const { return allowsBackground_; }
  void setAllowsBackgroundLocationUpdates(bool allows) { allowsBackground_ = allows; }

  void requestAlwaysAuthorization();
  void requestLocation();
  void stopUpdatingLocation();
  void startMonitoringSignificantLocationChanges();
  void stopMonitoringSignificantLocationChanges();
  bool isMonitoringSignificantChanges() const { return monitoring_; }
  int authorizationRequests() const { return authorizationRequests_; }

  // The simulated location service of the process.
  class Simulator {
   public:
    LocationAuthorization authorization() const { return authorization_; }
    // What the next authorization request decides (the current status stays until then).
    void setAnswer(LocationAuthorization answer) { answer_ = answer; }
    void setAuthorization(LocationAuthorization status) { authorization_ = status; }
    const std::optional<Location>& currentLocation() const { return current_; }
    // Moves the device: monitoring managers hear of it.
    void moveTo(const Location& location);
    void setCurrentLocation(std::optional<Location> location) { current_ = location; }
    void reset();

   private:
    friend class LocationManager;
    LocationAuthorization authorization_ = LocationAuthorization::NotDetermined;
    LocationAuthorization answer_ = LocationAuthorization::AuthorizedAlways;
    std::optional<Location> current_;
    std::vector<LocationManager*> managers_;
  };
  static Simulator& simulator();

 private:
  LocationManager() = default;
  bool authorized() const;
  void deliver(std::vector<Location> locations);
  void fail(int code, const std::string& description);

  std::weak_ptr<LocationManagerDelegate> delegate_;
  double desiredAccuracy_ = kLocationAccuracyBest;
  bool allowsBackground_ = false;
  bool monitoring_ = false;
  uint64_t requestSerial_ = 0;
  int authorizationRequests_ = 0;
};

}  // namespace dz::ui
