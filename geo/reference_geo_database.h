// ReferenceGeoDatabase: the geo store's database seam over a database reference: entries are
// the reference's children, and a range is a query ordered by the child "g" between the range's
// strings. Thread-safe as the reference is; callbacks come on the database's callback queue.
#pragma once

#include "database/api/database_reference.h"
#include "geo/geo_database.h"

namespace dz::geo {

class ReferenceGeoDatabase : public GeoDatabase {
 public:
  explicit ReferenceGeoDatabase(database::DatabaseReference reference)
      : reference_(std::move(reference)) {}

  void write(const std::string& key, const Value& value, const Value& priority,
             WriteCompletion completion) override;
  void read(const std::string& key, ReadCallback callback) override;
  std::unique_ptr<Listen> listen(const GeoHashQuery& range, RangeCallbacks callbacks) override;

  const database::DatabaseReference& reference() const { return reference_; }

 private:
  const database::DatabaseReference reference_;
};

}  // namespace dz::geo
