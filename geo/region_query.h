// RegionQuery: a live query of the keys inside a region (latitude and longitude spans around a
// center; longitudes compare across the antimeridian). Thread-safe; see Query.
#pragma once

#include <memory>
#include <mutex>

#include "geo/query.h"

namespace dz::geo {

class RegionQuery : public Query {
 public:
  // Negative or NaN spans, or a center that is not finite, throw dz::Exception (invalid
  // argument).
  static std::shared_ptr<RegionQuery> create(std::shared_ptr<GeoStore> store, const Region& region);

  Region region() const;
  // Same check as create(); a started query moves to the new region.
  void setRegion(const Region& region);

 private:
  RegionQuery(std::shared_ptr<GeoStore> store, const Region& region);
  void applyCriteria() override;
  bool locationIsInQuery(const platform::Location& location) const override;
  GeoHashQuerySet queriesForCurrentCriteria() const override;

  mutable std::mutex mutex_;
  Region region_;
  Region appliedRegion_;  // owned by the query's queue
};

}  // namespace dz::geo
