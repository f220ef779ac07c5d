#include "platform/ui/location_manager.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/dispatch_queue.h"

namespace dz::ui {
namespace {

constexpr double kEarthRadiusMetres = 6371008.8;

double radians(double degrees) { return degrees * std::numbers::pi / 180; }

}  // namespace

double Location::distanceFrom(const Location& other) const {
  double dLat = radians(other.latitude - latitude);
  double dLon = radians(other.longitude - longitude);
  double a = std::sin(dLat / 2) * std::sin(dLat / 2) + std::cos(radians(latitude)) *
                                                           std::cos(radians(other.latitude)) *
                                                           std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * kEarthRadiusMetres * std::atan2(std::sqrt(a), std::sqrt(1 - a));
}

LocationManager::Simulator& LocationManager::simulator() {
  static auto* simulator = new Simulator();  // lives until exit
  return *simulator;
}

void LocationManager::Simulator::reset() {
  authorization_ = LocationAuthorization::NotDetermined;
  answer_ = LocationAuthorization::AuthorizedAlways;
  current_.reset();
}

void LocationManager::Simulator::moveTo(const Location& location) {
  current_ = location;
  for (LocationManager* manager : managers_) {
    if (manager->monitoring_ && manager->authorized()) manager->deliver({location});
  }
}

std::shared_ptr<LocationManager> LocationManager::create() {
  std::shared_ptr<LocationManager> manager(new LocationManager());
  simulator().managers_.push_back(manager.get());
  return manager;
}

LocationManager::~LocationManager() { std::erase(simulator().managers_, this); }

bool LocationManager::authorized() const {
  auto status = simulator().authorization_;
  return status == LocationAuthorization::AuthorizedAlways ||
         status == LocationAuthorization::AuthorizedWhenInUse;
}

void LocationManager::requestAlwaysAuthorization() {
  ++authorizationRequests_;
  Simulator& sim = simulator();
  if (sim.authorization_ == LocationAuthorization::NotDetermined) sim.authorization_ = sim.answer_;
}

void LocationManager::requestLocation() {
  uint64_t serial = ++requestSerial_;
  std::weak_ptr<LocationManager> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, serial] {
    auto self = weak.lock();
    if (!self || self->requestSerial_ != serial) return;  // stopped or superseded
    if (!self->authorized()) {
      self->fail(kLocationErrorDenied, "The location service is not allowed for this program.");
    } else if (auto current = simulator().currentLocation()) {
      self->deliver({*current});
    } else {
      self->fail(kLocationErrorUnknown, "The location is unknown.");
    }
  });
}

void LocationManager::stopUpdatingLocation() { ++requestSerial_; }

void LocationManager::startMonitoringSignificantLocationChanges() { monitoring_ = true; }
void LocationManager::stopMonitoringSignificantLocationChanges() { monitoring_ = false; }

void LocationManager::deliver(std::vector<Location> locations) {
  std::weak_ptr<LocationManager> weak = weak_from_this();
  auto send = [weak, locations = std::move(locations)] {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->delegate_.lock()) delegate->didUpdateLocations(*self, locations);
  };
  // A one-shot answer is already on the main queue; a move hands over on a later turn.
  if (platform::DispatchQueue::main()->isCurrent()) {
    send();
  } else {
    platform::DispatchQueue::main()->async(std::move(send));
  }
}

void LocationManager::fail(int code, const std::string& description) {
  if (auto delegate = delegate_.lock()) {
    delegate->didFailWithError(*this,
                               std::make_shared<Error>(kLocationErrorDomain, code, description));
  }
}

}  // namespace dz::ui
