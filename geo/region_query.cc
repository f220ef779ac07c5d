#include "geo/region_query.h"

#include <cmath>

namespace dz::geo {

std::shared_ptr<RegionQuery> RegionQuery::create(std::shared_ptr<GeoStore> store,
                                                 const Region& region) {
  checkRegion(region);
  return std::shared_ptr<RegionQuery>(new RegionQuery(std::move(store), region));
}

RegionQuery::RegionQuery(std::shared_ptr<GeoStore> store, const Region& region)
    : Query(std::move(store)), region_(region), appliedRegion_(region) {}

Region RegionQuery::region() const {
  std::lock_guard lock(mutex_);
  return region_;
}

void RegionQuery::setRegion(const Region& region) {
  checkRegion(region);
  {
    std::lock_guard lock(mutex_);
    region_ = region;
  }
  searchCriteriaDidChange();
}

void RegionQuery::applyCriteria() {
  std::lock_guard lock(mutex_);
  appliedRegion_ = region_;
}

bool RegionQuery::locationIsInQuery(const platform::Location& location) const {
  const Region& region = appliedRegion_;
  const platform::Coordinate2D point = location.coordinate();
  if (point.latitude < region.center.latitude - region.latitudeSpan / 2 ||
      point.latitude > region.center.latitude + region.latitudeSpan / 2) {
    return false;
  }
  if (region.longitudeSpan >= 360) return true;
  // The way round the globe that is shorter, so a region across the antimeridian holds both
  // sides of it.
  const double offset = GeoHashQuery::wrapLongitude(point.longitude - region.center.longitude);
  return std::abs(offset) <= region.longitudeSpan / 2;
}

GeoHashQuerySet RegionQuery::queriesForCurrentCriteria() const {
  return GeoHashQuery::queriesForRegion(appliedRegion_);
}

}  // namespace dz::geo
