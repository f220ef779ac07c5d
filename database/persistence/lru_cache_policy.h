// LRUCachePolicy: the size limit of the persisted cache in bytes (the configuration's
// persistenceCacheSizeBytes). An immutable value, shared freely.
#pragma once

#include <cstdint>

namespace dz::database {

class LRUCachePolicy {
 public:
  explicit LRUCachePolicy(uint64_t maxSize) : maxSize_(maxSize) {}
  uint64_t maxSize() const { return maxSize_; }

 private:
  uint64_t maxSize_;
};

}  // namespace dz::database
