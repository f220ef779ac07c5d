// The LevelDB storage engine and the persistence manager on a real store on disk: pending writes
// survive reopening in write-id order, removed writes are gone, and stores or records that cannot
// be read are set aside or skipped instead of failing.
#include "database/persistence/leveldb_storage_engine.h"

#include <gtest/gtest.h>
#include <leveldb/db.h>

#include <filesystem>
#include <fstream>

#include "database/persistence/persistence_manager.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/file_manager.h"
#include "tests/support/sandbox.h"

namespace dz::database {
namespace {

NodePtr node(const std::string& json) {
  return SnapshotUtilities::nodeFrom(*Value::parseJson(json));
}

std::vector<WriteId> ids(const std::vector<WriteRecord>& writes) {
  std::vector<WriteId> result;
  for (const auto& w : writes) result.push_back(w.writeId());
  return result;
}

class StorageTest : public ::testing::Test {
 protected:
  testing::ScopedSandbox sandbox_;
  std::filesystem::path folder_ = sandbox_.root() / "store";
};

TEST_F(StorageTest, WritesSurviveReopeningInWriteIdOrder) {
  {
    LevelDBStorageEngine engine(folder_);
    ASSERT_TRUE(engine.isOpen());
    engine.saveUserOverwrite(node(R"({"x":1,".priority":"p"})"), Path("/a/b"), 12);
    engine.saveUserMerge(
        SnapshotUtilities::compoundWriteFromDictionary(
            Value::parseJson(R"({"c":1,"d/e":null,"f":{"g":true}})")->asMap(), "test"),
        Path("/m"), 3);
    engine.saveUserOverwrite(node("null"), Path("/gone"), 7);
    engine.saveUserOverwrite(node(R"("big")"), Path("/"), 100);
  }
  LevelDBStorageEngine engine(folder_);
  std::vector<WriteRecord> writes = engine.userWrites();
  ASSERT_EQ(ids(writes), (std::vector<WriteId>{3, 7, 12, 100}));

  EXPECT_FALSE(writes[0].isOverwrite());
  EXPECT_EQ(writes[0].path(), Path("/m"));
  EXPECT_EQ(writes[0].merge().valForExport(true).toJsonString(),
            R"({"c":1,"d/e":null,"f":{"g":true}})");
  EXPECT_TRUE(writes[1].isOverwrite());
  EXPECT_TRUE(writes[1].overwrite()->isEmpty());
  EXPECT_EQ(writes[2].path(), Path("/a/b"));
  EXPECT_TRUE(writes[2].overwrite()->equals(*node(R"({"x":1,".priority":"p"})")));
  EXPECT_EQ(writes[3].path(), Path());
  EXPECT_TRUE(writes[3].overwrite()->equals(*node(R"("big")")));
}

TEST_F(StorageTest, RemovedWritesAreGoneAfterReopening) {
  {
    LevelDBStorageEngine engine(folder_);
    for (WriteId id = 0; id < 5; ++id) engine.saveUserOverwrite(node("1"), Path("/a"), id);
    engine.removeUserWrite(2);
    engine.removeUserWrite(4);
    engine.removeUserWrite(99);  // unknown: nothing happens
  }
  {
    LevelDBStorageEngine engine(folder_);
    EXPECT_EQ(ids(engine.userWrites()), (std::vector<WriteId>{0, 1, 3}));
    engine.removeAllUserWrites();
  }
  LevelDBStorageEngine engine(folder_);
  EXPECT_TRUE(engine.userWrites().empty());
}

TEST_F(StorageTest, ManyIdsKeepNumericOrder) {
  LevelDBStorageEngine engine(folder_);
  for (WriteId id : {1000, 9, 10, 99, 100, 1}) engine.saveUserOverwrite(node("1"), Path("/a"), id);
  EXPECT_EQ(ids(engine.userWrites()), (std::vector<WriteId>{1, 9, 10, 99, 100, 1000}));
}

TEST_F(StorageTest, CorruptStoreIsSetAsideAndAFreshOneUsed) {
  std::filesystem::create_directories(folder_ / "server_data");
  std::ofstream(folder_ / "server_data" / "CURRENT") << "MANIFEST-999999\n";
  std::ofstream(folder_ / "server_data" / "MANIFEST-999999") << "not a manifest at all";
  LevelDBStorageEngine engine(folder_);
  ASSERT_TRUE(engine.isOpen());
  bool setAside = false;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    setAside = setAside || entry.path().filename().string().starts_with("server_data.corrupt-");
  }
  EXPECT_TRUE(setAside);
  engine.saveUserOverwrite(node("1"), Path("/a"), 1);
  EXPECT_EQ(ids(engine.userWrites()), std::vector<WriteId>{1});
}

bool anythingSetAside(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with("server_data.corrupt-")) return true;
  }
  return false;
}

TEST_F(StorageTest, LockedOrUnreadableStoreIsLeftInPlace) {
  auto holder = std::make_unique<LevelDBStorageEngine>(folder_);
  holder->saveUserOverwrite(node("1"), Path("/pending"), 4);
  {
    // The holder's lock refuses a second opener: that one runs without a store.
    LevelDBStorageEngine second(folder_);
    EXPECT_FALSE(second.isOpen());
    EXPECT_FALSE(anythingSetAside(folder_));
  }
  holder.reset();
  // An I/O failure (the lock file cannot be opened) is not corruption either.
  const auto lockFile = folder_ / "server_data" / "LOCK";
  std::filesystem::remove(lockFile);
  std::filesystem::create_directory(lockFile);
  {
    LevelDBStorageEngine blocked(folder_);
    EXPECT_FALSE(blocked.isOpen());
    EXPECT_FALSE(anythingSetAside(folder_));
  }
  std::filesystem::remove(lockFile);
  EXPECT_EQ(ids(LevelDBStorageEngine(folder_).userWrites()), std::vector<WriteId>{4});
}

TEST_F(StorageTest, UnreadableStoreLeavesAnEngineThatKeepsNothing) {
  // A file where the store's folder should be: neither the store nor a fresh one can be made.
  std::filesystem::create_directories(folder_.parent_path());
  std::ofstream(folder_) << "a file";
  LevelDBStorageEngine engine(folder_);
  EXPECT_FALSE(engine.isOpen());
  engine.saveUserOverwrite(node("1"), Path("/a"), 1);
  EXPECT_TRUE(engine.userWrites().empty());
}

TEST_F(StorageTest, UndecodableRecordsAreSkipped) {
  {
    LevelDBStorageEngine engine(folder_);
    engine.saveUserOverwrite(node("1"), Path("/ok"), 5);
  }
  {
    leveldb::DB* raw = nullptr;
    leveldb::Options options;
    ASSERT_TRUE(leveldb::DB::Open(options, (folder_ / "server_data").string(), &raw).ok());
    std::unique_ptr<leveldb::DB> db(raw);
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000001", "{not json");
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000002", R"({"path":"/a"})");
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000003",
            R"({"path":"/a","id":3,"overwrite":{"bad.key":1}})");
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000004",
            R"({"path":"/a","id":4,"merge":[1,2]})");
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000006",
            R"({"path":"/a[b","id":6,"overwrite":1})");
    db->Put(leveldb::WriteOptions(), "user_writes/00000000000000000007", R"({"path":"/a","id":7})");
  }
  LevelDBStorageEngine engine(folder_);
  EXPECT_EQ(ids(engine.userWrites()), std::vector<WriteId>{5});
}

TEST_F(StorageTest, PersistenceManagerStoresUnderTheDocumentsFolderUntilClosed) {
  auto engine = std::make_shared<LevelDBStorageEngine>(std::string("session/ns.dz.test_ns"));
  EXPECT_EQ(engine->folder(),
            platform::FileManager::documentsDirectory() / "session" / "ns.dz.test_ns");
  auto policy = std::make_shared<LRUCachePolicy>(10 * 1024 * 1024);
  PersistenceManager manager(engine, policy);
  EXPECT_EQ(manager.cachePolicy()->maxSize(), 10u * 1024 * 1024);
  manager.saveUserOverwrite(node("1"), Path("/a"), 2);
  manager.saveUserMerge(SnapshotUtilities::compoundWriteFromDictionary(
                            Value::parseJson(R"({"b":2})")->asMap(), "test"),
                        Path("/a"), 1);
  EXPECT_EQ(ids(manager.userWrites()), (std::vector<WriteId>{1, 2}));
  manager.removeUserWrite(1);
  EXPECT_EQ(ids(manager.userWrites()), std::vector<WriteId>{2});
  manager.close();
  EXPECT_FALSE(engine->isOpen());
  manager.saveUserOverwrite(node("1"), Path("/a"), 3);
  EXPECT_TRUE(manager.userWrites().empty());
}

}  // namespace
}  // namespace dz::database
