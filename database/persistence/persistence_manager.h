// PersistenceManager: the persistence front the sync tree and the repository use: pending user
// writes are stored when made, removed when acknowledged, and read back at start. Held by the
// repository (shared with its sync tree); work queue only. After close() every call does nothing.
#pragma once

#include <memory>
#include <vector>

#include "database/persistence/lru_cache_policy.h"
#include "database/persistence/storage_engine.h"
#include "database/persistence/write_record.h"

namespace dz::database {

class PersistenceManager {
 public:
  PersistenceManager(std::shared_ptr<StorageEngine> storageEngine,
                     std::shared_ptr<const LRUCachePolicy> cachePolicy);
  PersistenceManager(const PersistenceManager&) = delete;
  PersistenceManager& operator=(const PersistenceManager&) = delete;

  // Every stored user write, sorted by write id ascending.
  std::vector<WriteRecord> userWrites();
  void saveUserOverwrite(const NodePtr& node, const Path& path, WriteId writeId);
  void saveUserMerge(const CompoundWrite& merge, const Path& path, WriteId writeId);
  void removeUserWrite(WriteId writeId);
  void removeAllUserWrites();
  // Closes the storage engine and forgets it.
  void close();

  const std::shared_ptr<const LRUCachePolicy>& cachePolicy() const { return cachePolicy_; }

 private:
  std::shared_ptr<StorageEngine> storageEngine_;
  std::shared_ptr<const LRUCachePolicy> cachePolicy_;
};

}  // namespace dz::database
