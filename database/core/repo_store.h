// Where a repository keeps its pending writes: the store path under the documents folder, made
// of the configuration's session identifier and the repository key, and the lock that gives one
// repository (in any process) the store at a time. A second repository on the same path runs
// without persistence rather than share, and so corrupt, the first one's store.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "database/core/database_config.h"
#include "database/persistence/persistence_manager.h"
#include "database/utilities/repo_info.h"

namespace dz::database {

// "<host>_<namespace>".
std::string repoKey(const RepoInfo& repoInfo);

// "<session identifier>/<repository key>", each part made safe as one folder name: "/", "\",
// "%" and control characters are percent-encoded, and so are the dots of a part that is only
// dots (or empty), so that no name leaves the documents folder. Plain names pass unchanged.
std::string storePath(std::string_view sessionIdentifier, const RepoInfo& repoInfo);
std::string storePathComponent(std::string_view text);

// An exclusive advisory lock on a file in a store folder, held for the object's life. Two locks
// on one folder conflict within a process as across processes.
class StoreLock {
 public:
  // The lock, or null (logged) when another holder has it or the folder cannot be made.
  static std::unique_ptr<StoreLock> tryLock(const std::string& relativeStorePath);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  explicit StoreLock(int fd) : fd_(fd) {}
  int fd_;
};

// The persistence of a repository: the manager over its store and the lock that keeps the store
// its own. Empty when the store is another repository's; the caller then runs without.
struct RepoPersistence {
  std::shared_ptr<PersistenceManager> manager;
  std::unique_ptr<StoreLock> lock;
};

// Opens the config's forced engine, or the LevelDB store at storePath() under its lock.
RepoPersistence openRepoPersistence(const RepoInfo& repoInfo, const DatabaseConfig& config);

}  // namespace dz::database
