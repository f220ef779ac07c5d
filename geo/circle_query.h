// CircleQuery: a live query of the keys within a radius (kilometres) of a center. Thread-safe;
// see Query.
#pragma once

#include <memory>
#include <mutex>

#include "geo/query.h"

namespace dz::geo {

class CircleQuery : public Query {
 public:
  // A center off the map throws dz::Exception "Not a valid geo location: [lat,lon]"; a negative
  // or NaN radius throws dz::Exception (invalid argument). Both are invalid arguments.
  static std::shared_ptr<CircleQuery> create(std::shared_ptr<GeoStore> store,
                                             const platform::Location& center, double radiusKm);

  platform::Location center() const;
  // Same checks as create(); a started query moves to the new circle.
  void setCenter(const platform::Location& center);
  double radius() const;
  void setRadius(double radiusKm);

 private:
  CircleQuery(std::shared_ptr<GeoStore> store, const platform::Location& center, double radiusKm);
  void applyCriteria() override;
  bool locationIsInQuery(const platform::Location& location) const override;
  GeoHashQuerySet queriesForCurrentCriteria() const override;

  mutable std::mutex mutex_;
  platform::Location center_;
  double radius_;
  // The criteria in force, owned by the query's queue.
  platform::Location appliedCenter_;
  double appliedRadius_;
};

}  // namespace dz::geo
