#include "database/core/database_config.h"

#include <map>

#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kFrozenReason[] =
    "Can't modify config objects after they are in use for DZDatabaseReferences.";
constexpr char kCacheTooSmallReason[] = "The minimum cache size must be at least 1MB";
constexpr char kCacheTooLargeReason[] =
    "Dezuvura Database currently doesn't support a cache size larger than 100MB";
constexpr char kBadNameReason[] = "Name can only contain [a-zA-Z0-9-_]";
constexpr char kNullQueueReason[] = "The callback queue of a config can't be null.";
constexpr char kNullProviderReason[] = "The auth token provider of a config can't be null.";

// "^[a-zA-Z0-9-_]+$", ASCII only.
bool isValidConfigName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

struct NamedConfigs {
  std::mutex mutex;
  std::map<std::string, DatabaseConfigPtr> byName;
};

NamedConfigs& namedConfigs() {
  static auto* table = new NamedConfigs;
  return *table;
}

}  // namespace

DatabaseConfigPtr DatabaseConfig::create(std::string sessionIdentifier,
                                         AuthTokenProviderPtr provider) {
  if (!provider) throw Exception(kInvalidArgumentException, kNullProviderReason);
  return DatabaseConfigPtr(new DatabaseConfig(std::move(sessionIdentifier), std::move(provider)));
}

DatabaseConfig::DatabaseConfig(std::string sessionIdentifier, AuthTokenProviderPtr provider)
    : sessionIdentifier_(std::move(sessionIdentifier)),
      callbackQueue_(platform::DispatchQueue::main()),
      authTokenProvider_(std::move(provider)) {}

DatabaseConfigPtr DatabaseConfig::configForName(const std::string& name) {
  if (!isValidConfigName(name)) throw Exception(kInvalidArgumentException, kBadNameReason);
  NamedConfigs& table = namedConfigs();
  std::lock_guard<std::mutex> lock(table.mutex);
  DatabaseConfigPtr& config = table.byName[name];
  if (!config) config = create(name, std::make_shared<NoopAuthTokenProvider>());
  return config;
}

DatabaseConfigPtr DatabaseConfig::defaultConfig() {
  static const DatabaseConfigPtr* config = new DatabaseConfigPtr(configForName(kDefaultConfigName));
  return *config;
}

void DatabaseConfig::checkNotFrozen() const {
  if (isFrozen_.load()) throw Exception(kGenericException, kFrozenReason);
}

bool DatabaseConfig::persistenceEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return persistenceEnabled_;
}

void DatabaseConfig::setPersistenceEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkNotFrozen();
  persistenceEnabled_ = enabled;
}

uint64_t DatabaseConfig::persistenceCacheSizeBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return persistenceCacheSizeBytes_;
}

void DatabaseConfig::setPersistenceCacheSizeBytes(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkNotFrozen();
  if (bytes < kMinPersistenceCacheSizeBytes) {
    throw Exception(kInvalidArgumentException, kCacheTooSmallReason);
  }
  if (bytes > kMaxPersistenceCacheSizeBytes) {
    throw Exception(kInvalidArgumentException, kCacheTooLargeReason);
  }
  persistenceCacheSizeBytes_ = bytes;
}

platform::DispatchQueuePtr DatabaseConfig::callbackQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return callbackQueue_;
}

void DatabaseConfig::setCallbackQueue(platform::DispatchQueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkNotFrozen();
  if (!queue) throw Exception(kInvalidArgumentException, kNullQueueReason);
  callbackQueue_ = std::move(queue);
}

AuthTokenProviderPtr DatabaseConfig::authTokenProvider() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return authTokenProvider_;
}

void DatabaseConfig::setAuthTokenProvider(AuthTokenProviderPtr provider) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkNotFrozen();
  if (!provider) throw Exception(kInvalidArgumentException, kNullProviderReason);
  authTokenProvider_ = std::move(provider);
}

std::shared_ptr<StorageEngine> DatabaseConfig::forceStorageEngine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forceStorageEngine_;
}

void DatabaseConfig::setForceStorageEngine(std::shared_ptr<StorageEngine> engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkNotFrozen();
  forceStorageEngine_ = std::move(engine);
}

void DatabaseConfig::freeze() {
  std::lock_guard<std::mutex> lock(mutex_);
  isFrozen_.store(true);
}

}  // namespace dz::database
