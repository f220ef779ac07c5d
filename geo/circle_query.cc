#include "geo/circle_query.h"

namespace dz::geo {
namespace {

constexpr double kMetersPerKilometer = 1000;

}  // namespace

std::shared_ptr<CircleQuery> CircleQuery::create(std::shared_ptr<GeoStore> store,
                                                 const platform::Location& center,
                                                 double radiusKm) {
  checkLocation(center.coordinate());
  checkRadius(radiusKm);
  return std::shared_ptr<CircleQuery>(new CircleQuery(std::move(store), center, radiusKm));
}

CircleQuery::CircleQuery(std::shared_ptr<GeoStore> store, const platform::Location& center,
                         double radiusKm)
    : Query(std::move(store)),
      center_(center),
      radius_(radiusKm),
      appliedCenter_(center),
      appliedRadius_(radiusKm) {}

platform::Location CircleQuery::center() const {
  std::lock_guard lock(mutex_);
  return center_;
}

void CircleQuery::setCenter(const platform::Location& center) {
  checkLocation(center.coordinate());
  {
    std::lock_guard lock(mutex_);
    center_ = center;
  }
  searchCriteriaDidChange();
}

double CircleQuery::radius() const {
  std::lock_guard lock(mutex_);
  return radius_;
}

void CircleQuery::setRadius(double radiusKm) {
  checkRadius(radiusKm);
  {
    std::lock_guard lock(mutex_);
    radius_ = radiusKm;
  }
  searchCriteriaDidChange();
}

void CircleQuery::applyCriteria() {
  std::lock_guard lock(mutex_);
  appliedCenter_ = center_;
  appliedRadius_ = radius_;
}

bool CircleQuery::locationIsInQuery(const platform::Location& location) const {
  return location.distanceFrom(appliedCenter_) <= appliedRadius_ * kMetersPerKilometer;
}

GeoHashQuerySet CircleQuery::queriesForCurrentCriteria() const {
  return GeoHashQuery::queriesForLocation(appliedCenter_.coordinate(),
                                          appliedRadius_ * kMetersPerKilometer);
}

}  // namespace dz::geo
