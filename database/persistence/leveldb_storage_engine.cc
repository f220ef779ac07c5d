#include "database/persistence/leveldb_storage_engine.h"

#include <leveldb/db.h>
#include <leveldb/write_batch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/logging.h"
#include "platform/file_manager.h"
#include "platform/value.h"

namespace dz::database {

namespace {

constexpr char kLogCode[] = "I-RDB07601";
// The folder of the store within the engine's folder.
constexpr char kServerDataFolder[] = "server_data";
constexpr char kUserWritesPrefix[] = "user_writes/";
// Record fields.
constexpr char kPathKey[] = "path";
constexpr char kWriteIdKey[] = "id";
constexpr char kOverwriteKey[] = "overwrite";
constexpr char kMergeKey[] = "merge";

// Fixed width, and ordered as the ids are (the sign bit flipped).
std::string writeKey(WriteId writeId) {
  uint64_t ordered = static_cast<uint64_t>(writeId) ^ (uint64_t{1} << 63);
  char digits[21];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(ordered));
  return std::string(kUserWritesPrefix) + digits;
}

std::string encodeRecord(const Path& path, WriteId writeId, const char* kind, Value data) {
  Value::Map record;
  record.emplace(kPathKey, path.toString());
  record.emplace(kWriteIdKey, Value(static_cast<long long>(writeId)));
  record.emplace(kind, std::move(data));
  return Value(std::move(record)).toJsonString();
}

// A record, or none (logged) when it cannot be read back.
std::optional<WriteRecord> decodeRecord(const std::string& key, const std::string& text) {
  auto fail = [&](const std::string& why) {
    logWarning(kLogCode, "Skipping stored write " + key + ": " + why);
    return std::nullopt;
  };
  std::optional<Value> parsed = Value::parseJson(text);
  if (!parsed || !parsed->isMap()) return fail("not a JSON object");
  const std::string* pathText = (*parsed)[kPathKey].getString();
  std::optional<int64_t> writeId = (*parsed)[kWriteIdKey].getInt();
  if (!pathText || !writeId) return fail("missing path or id");
  Path path(*pathText);
  try {
    if (const Value* overwrite = parsed->find(kOverwriteKey)) {
      return WriteRecord::overwrite(*writeId, path, SnapshotUtilities::nodeFrom(*overwrite));
    }
    if (const Value* merge = parsed->find(kMergeKey)) {
      const Value::Map* children = merge->getMap();
      if (!children) return fail("merge is not an object");
      CompoundWrite write;
      for (const auto& [childPath, value] : *children) {
        write = write.addWrite(Path(childPath), SnapshotUtilities::nodeFrom(value));
      }
      return WriteRecord::merge(*writeId, path, write);
    }
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return fail("neither overwrite nor merge");
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
  auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
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
  put(writeKey(writeId), encodeRecord(path, writeId, kOverwriteKey,
                                      (node ? node : EmptyNode::emptyNode())->val(true)));
}

void LevelDBStorageEngine::saveUserMerge(const CompoundWrite& merge, const Path& path,
                                         WriteId writeId) {
  put(writeKey(writeId), encodeRecord(path, writeId, kMergeKey, merge.valForExport(true)));
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
    if (auto record = decodeRecord(it->key().ToString(), it->value().ToString())) {
      writes.push_back(std::move(*record));
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
