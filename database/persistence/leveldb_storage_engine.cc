#include "database/persistence/leveldb_storage_engine.h"

#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "database/persistence/write_record_format.h"
#include "database/utilities/logging.h"
#include "platform/file_manager.h"
#include "platform/value.h"
#include "platform/wall_clock.h"

namespace dz::database {

namespace {

constexpr char kLogCode[] = "I-RDB07601";
// The folder of the store within the engine's folder.
constexpr char kServerDataFolder[] = "server_data";
constexpr char kUserWritesPrefix[] = "user_writes/";

// Fixed width, and ordered as the ids are (the sign bit flipped).
std::string writeKey(WriteId writeId) {
  uint64_t ordered = static_cast<uint64_t>(writeId) ^ (uint64_t{1} << 63);
  char digits[21];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(ordered));
  return std::string(kUserWritesPrefix) + digits;
}

}  // namespace

LevelDBStorageEngine::LevelDBStorageEngine(const std::string& path)
    : folder_(platform::FileManager::documentsDirectory() / std::filesystem::path(path)) {
  open();
}

LevelDBStorageEngine::LevelDBStorageEngine(std::filesystem::path folder)
    : folder_(std::move(folder)) {
  open();
}

LevelDBStorageEngine::~LevelDBStorageEngine() = default;

void LevelDBStorageEngine::open() {
  std::filesystem::path store = folder_ / kServerDataFolder;
  if (!platform::FileManager::createDirectory(folder_)) {
    logError(kLogCode, "Cannot create the persistence folder " + folder_.string());
    return;
  }
  leveldb::Options options;
  options.create_if_missing = true;
  options.paranoid_checks = true;
  leveldb::DB* db = nullptr;
  leveldb::Status status = leveldb::DB::Open(options, store.string(), &db);
  if (status.ok()) {
    db_.reset(db);
    return;
  }
  // A store that is locked (another process holds it) or failed to read still holds pending
  // writes: leave it for the next start and run without persistence.
  if (!status.IsCorruption()) {
    logError(kLogCode, "Cannot open the store at " + store.string() + ": " + status.ToString() +
                           "; running without persistence");
    return;
  }
  // Keep the corrupt store for inspection and start afresh.
  logError(kLogCode, "Cannot open the store at " + store.string() + ": " + status.ToString() +
                         "; moving it aside");
  auto stamp = static_cast<int64_t>(platform::wallClockSeconds() * 1e6);
  std::filesystem::path aside = store;
  aside += ".corrupt-" + std::to_string(stamp);
  std::error_code error;
  std::filesystem::rename(store, aside, error);
  if (error) {
    logError(kLogCode, "Cannot move the store aside: " + error.message());
    return;
  }
  db = nullptr;
  status = leveldb::DB::Open(options, store.string(), &db);
  if (!status.ok()) {
    logError(kLogCode, "Cannot create a new store: " + status.ToString());
    return;
  }
  db_.reset(db);
}

void LevelDBStorageEngine::runLegacyMigration(const RepoInfo&) {}

void LevelDBStorageEngine::put(const std::string& key, const std::string& value) {
  if (!db_) return;
  leveldb::Status status = db_->Put(leveldb::WriteOptions(), key, value);
  if (!status.ok()) logError(kLogCode, "Failed to store " + key + ": " + status.ToString());
}

void LevelDBStorageEngine::saveUserOverwrite(const NodePtr& node, const Path& path,
                                             WriteId writeId) {
  put(writeKey(writeId), encodeWriteRecord(WriteRecord::overwrite(writeId, path, node)));
}

void LevelDBStorageEngine::saveUserMerge(const CompoundWrite& merge, const Path& path,
                                         WriteId writeId) {
  put(writeKey(writeId), encodeWriteRecord(WriteRecord::merge(writeId, path, merge)));
}

void LevelDBStorageEngine::removeUserWrite(WriteId writeId) {
  if (!db_) return;
  leveldb::Status status = db_->Delete(leveldb::WriteOptions(), writeKey(writeId));
  if (!status.ok()) logError(kLogCode, "Failed to remove a stored write: " + status.ToString());
}

void LevelDBStorageEngine::removeAllUserWrites() {
  if (!db_) return;
  leveldb::WriteBatch batch;
  std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(leveldb::ReadOptions()));
  for (it->Seek(kUserWritesPrefix); it->Valid() && it->key().starts_with(kUserWritesPrefix);
       it->Next()) {
    batch.Delete(it->key());
  }
  leveldb::Status status = db_->Write(leveldb::WriteOptions(), &batch);
  if (!status.ok()) logError(kLogCode, "Failed to remove stored writes: " + status.ToString());
}

std::vector<WriteRecord> LevelDBStorageEngine::userWrites() {
  std::vector<WriteRecord> writes;
  if (!db_) return writes;
  leveldb::ReadOptions options;
  options.verify_checksums = true;
  std::unique_ptr<leveldb::Iterator> it(db_->NewIterator(options));
  for (it->Seek(kUserWritesPrefix); it->Valid() && it->key().starts_with(kUserWritesPrefix);
       it->Next()) {
    ErrorPtr error;
    if (auto record =
            decodeWriteRecord(std::string_view(it->value().data(), it->value().size()), error)) {
      writes.push_back(std::move(*record));
    } else {
      logWarning(kLogCode, "Skipping stored write " + it->key().ToString() + ": " +
                               error->localizedDescription());
    }
  }
  if (!it->status().ok()) {
    logError(kLogCode, "Reading stored writes stopped: " + it->status().ToString());
  }
  std::stable_sort(writes.begin(), writes.end(), [](const WriteRecord& a, const WriteRecord& b) {
    return a.writeId() < b.writeId();
  });
  return writes;
}

void LevelDBStorageEngine::close() { db_.reset(); }

}  // namespace dz::database
