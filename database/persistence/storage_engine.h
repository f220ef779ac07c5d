// StorageEngine: where the persistence manager keeps pending user writes on disk. The interface
// lets a configuration force another engine (tests); LevelDBStorageEngine is the real one.
// Engines are used from the database's work queue only.
#pragma once

#include <vector>

#include "database/persistence/write_record.h"
#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class StorageEngine {
 public:
  virtual ~StorageEngine() = default;

  virtual void saveUserOverwrite(const NodePtr& node, const Path& path, WriteId writeId) = 0;
  virtual void saveUserMerge(const CompoundWrite& merge, const Path& path, WriteId writeId) = 0;
  virtual void removeUserWrite(WriteId writeId) = 0;
  virtual void removeAllUserWrites() = 0;
  // Every stored write, sorted by write id ascending; unreadable records are logged and skipped.
  virtual std::vector<WriteRecord> userWrites() = 0;
  // Releases the store; later calls do nothing.
  virtual void close() = 0;
};

}  // namespace dz::database
