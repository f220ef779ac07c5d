// The sync tree removes a stored write when its acknowledgement says to persist, so a restart
// does not send confirmed or refused writes again; removeAllWrites empties the store.
#include <gtest/gtest.h>

#include "database/persistence/leveldb_storage_engine.h"
#include "tests/database/core/sync_scenario_fixture.h"
#include "tests/support/sandbox.h"

namespace dz::database::testing {
namespace {

std::vector<WriteId> storedIds(PersistenceManager& manager) {
  std::vector<WriteId> ids;
  for (const auto& write : manager.userWrites()) ids.push_back(write.writeId());
  return ids;
}

TEST(SyncTreePersistence, AcknowledgedWritesLeaveTheStore) {
  dz::testing::ScopedSandbox sandbox;
  auto engine = std::make_shared<LevelDBStorageEngine>(sandbox.root() / "store");
  auto manager =
      std::make_shared<PersistenceManager>(engine, std::make_shared<LRUCachePolicy>(1000));
  SyncScenario s(manager);
  // The repository stores each write as it makes it.
  for (WriteId id = 1; id <= 4; ++id) {
    manager->saveUserOverwrite(node(std::to_string(id)), Path("/a"), id);
    s.userSet("/a", std::to_string(id), id);
  }
  s.ack(1);                   // confirmed
  s.ack(2, /*revert=*/true);  // refused
  s.ack(3, false, /*persist=*/false);
  EXPECT_EQ(storedIds(*manager), (std::vector<WriteId>{3, 4}));
  // An acknowledgement the tree no longer knows still clears the store.
  s.ack(3);
  EXPECT_EQ(storedIds(*manager), std::vector<WriteId>{4});
  s.tree().removeAllWrites();
  EXPECT_TRUE(storedIds(*manager).empty());
}

}  // namespace
}  // namespace dz::database::testing
