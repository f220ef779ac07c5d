#include "database/core/repo_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "database/persistence/leveldb_storage_engine.h"
#include "database/utilities/logging.h"
#include "platform/file_manager.h"
#include "platform/text.h"

namespace dz::database {
namespace {

constexpr char kRepoStoreLogCode[] = "I-RDB03826";
constexpr char kLockFileName[] = "repo.lock";

bool onlyDots(std::string_view text) { return text.find_first_not_of('.') == std::string::npos; }

bool isSafeInFileName(unsigned char c) {
  return c != '/' && c != '\\' && c != '%' && c >= 0x20 && c != 0x7F;
}

bool keepNone(unsigned char) { return false; }

}  // namespace

std::string repoKey(const RepoInfo& repoInfo) {
  return repoInfo.host() + "_" + repoInfo.namespaceName();
}

std::string storePathComponent(std::string_view text) {
  // A name of dots only ("." or "..") is encoded whole.
  std::string out = platform::percentEncoded(text, onlyDots(text) ? keepNone : isSafeInFileName);
  // The empty name would put the store in its parent folder.
  return out.empty() ? std::string("%00") : out;
}

std::string storePath(std::string_view sessionIdentifier, const RepoInfo& repoInfo) {
  return storePathComponent(sessionIdentifier) + "/" + storePathComponent(repoKey(repoInfo));
}

std::unique_ptr<StoreLock> StoreLock::tryLock(const std::string& relativeStorePath) {
  std::filesystem::path folder =
      platform::FileManager::documentsDirectory() / std::filesystem::path(relativeStorePath);
  if (!platform::FileManager::createDirectory(folder)) {
    logWarning(kRepoStoreLogCode, "Cannot create the persistence folder " + folder.string());
    return nullptr;
  }
  std::filesystem::path file = folder / kLockFileName;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    logWarning(kRepoStoreLogCode, "Cannot open " + file.string() + ": " + std::strerror(errno));
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<StoreLock>(new StoreLock(fd));
}

StoreLock::~StoreLock() { ::close(fd_); }

RepoPersistence openRepoPersistence(const RepoInfo& repoInfo, const DatabaseConfig& config) {
  auto cachePolicy = std::make_shared<const LRUCachePolicy>(config.persistenceCacheSizeBytes());
  RepoPersistence persistence;
  if (auto forced = config.forceStorageEngine()) {
    persistence.manager = std::make_shared<PersistenceManager>(forced, cachePolicy);
    return persistence;
  }
  std::string path = storePath(config.sessionIdentifier(), repoInfo);
  persistence.lock = StoreLock::tryLock(path);
  if (!persistence.lock) {
    logWarning(kRepoStoreLogCode,
               "The store at " + path +
                   " is in use by another database client; running without persistence");
    return persistence;
  }
  auto engine = std::make_shared<LevelDBStorageEngine>(path);
  engine->runLegacyMigration(repoInfo);
  persistence.manager = std::make_shared<PersistenceManager>(engine, cachePolicy);
  return persistence;
}

}  // namespace dz::database
