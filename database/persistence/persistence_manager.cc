#include "database/persistence/persistence_manager.h"

namespace dz::database {

PersistenceManager::PersistenceManager(std::shared_ptr<StorageEngine> storageEngine,
                                       std::shared_ptr<const LRUCachePolicy> cachePolicy)
    : storageEngine_(std::move(storageEngine)), cachePolicy_(std::move(cachePolicy)) {}

std::vector<WriteRecord> PersistenceManager::userWrites() {
  if (!storageEngine_) return {};
  return storageEngine_->userWrites();
}

void PersistenceManager::saveUserOverwrite(const NodePtr& node, const Path& path, WriteId writeId) {
  if (storageEngine_) storageEngine_->saveUserOverwrite(node, path, writeId);
}

void PersistenceManager::saveUserMerge(const CompoundWrite& merge, const Path& path,
                                       WriteId writeId) {
  if (storageEngine_) storageEngine_->saveUserMerge(merge, path, writeId);
}

void PersistenceManager::removeUserWrite(WriteId writeId) {
  if (storageEngine_) storageEngine_->removeUserWrite(writeId);
}

void PersistenceManager::removeAllUserWrites() {
  if (storageEngine_) storageEngine_->removeAllUserWrites();
}

void PersistenceManager::close() {
  if (storageEngine_) storageEngine_->close();
  storageEngine_.reset();
}

}  // namespace dz::database
