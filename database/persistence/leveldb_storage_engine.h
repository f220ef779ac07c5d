// LevelDBStorageEngine: the storage engine on a LevelDB store in a folder under the documents
// directory. Records are JSON texts keyed so that LevelDB's order is write-id order. A store
// LevelDB reports corrupt is logged and moved aside, and a fresh one is made; a store that cannot
// be opened for any other reason (locked by another process, I/O) is left alone and the engine
// keeps nothing, as it does when even a fresh store fails. Never throws. Work queue only.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "database/persistence/storage_engine.h"

namespace leveldb {
class DB;
}

namespace dz::database {

class RepoInfo;

class LevelDBStorageEngine final : public StorageEngine {
 public:
  // The store at `path` (relative, "/"-separated) under the documents directory.
  explicit LevelDBStorageEngine(const std::string& path);
  // The store in exactly this folder (tests).
  explicit LevelDBStorageEngine(std::filesystem::path folder);
  ~LevelDBStorageEngine() override;

  // Writes of an older store format would move here; this system never had one.
  void runLegacyMigration(const RepoInfo& repoInfo);

  void saveUserOverwrite(const NodePtr& node, const Path& path, WriteId writeId) override;
  void saveUserMerge(const CompoundWrite& merge, const Path& path, WriteId writeId) override;
  void removeUserWrite(WriteId writeId) override;
  void removeAllUserWrites() override;
  std::vector<WriteRecord> userWrites() override;
  void close() override;

  // Whether a store is open.
  bool isOpen() const { return db_ != nullptr; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  void open();
  void put(const std::string& key, const std::string& value);

  std::filesystem::path folder_;
  std::unique_ptr<leveldb::DB> db_;
};

}  // namespace dz::database
