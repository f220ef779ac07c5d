// GeoDatabase: the database as the geo store uses it. Entries are children of one location,
// written and read by key; a live range is the children whose "g" member lies between a range's
// start and end strings, with child events, one call when its initial data has arrived, and one
// when the database refuses it. Callbacks come on the database's callback queue, in the order the
// database raises them. Implemented over a database reference (ReferenceGeoDatabase).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "geo/geo_hash_query.h"
#include "platform/error.h"
#include "platform/value.h"

namespace dz::geo {

class GeoDatabase {
 public:
  struct RangeCallbacks {
    std::function<void(const std::string& key, const Value& value)> added;
    std::function<void(const std::string& key, const Value& value)> changed;
    std::function<void(const std::string& key)> removed;
    std::function<void()> loaded;
    std::function<void(const ErrorPtr& error)> cancelled;
  };

  // One live range; destroying it stops its child events (a pending initial read may still
  // call `loaded` or `cancelled`).
  class Listen {
   public:
    virtual ~Listen() = default;
  };

  using WriteCompletion = std::function<void(ErrorPtr error)>;
  // The value at a key (null when absent), or the database's error.
  using ReadCallback = std::function<void(const Value& value, ErrorPtr error)>;

  virtual ~GeoDatabase() = default;

  // Writes `value` with `priority` at the child `key` (a null value removes it). The key is
  // checked by the caller.
  virtual void write(const std::string& key, const Value& value, const Value& priority,
                     WriteCompletion completion) = 0;
  virtual void read(const std::string& key, ReadCallback callback) = 0;
  virtual std::unique_ptr<Listen> listen(const GeoHashQuery& range, RangeCallbacks callbacks) = 0;
};

}  // namespace dz::geo
