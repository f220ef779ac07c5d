// DatabaseConfig: the settings of a database that must be made before first use: persistence,
// cache size, callback queue, token provider and storage engine. The repository manager freezes a
// config when it first builds or looks up a repository with it; from then on every setter throws.
// Shared (std::shared_ptr); every method is thread-safe, and a setter racing with freeze() either
// lands before it or throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "database/core/auth_token_provider.h"
#include "platform/dispatch_queue.h"

namespace dz::database {

class StorageEngine;  // the persistence library's store

inline constexpr uint64_t kDefaultPersistenceCacheSizeBytes = 10 * 1024 * 1024;
inline constexpr uint64_t kMinPersistenceCacheSizeBytes = 1024 * 1024;
inline constexpr uint64_t kMaxPersistenceCacheSizeBytes = 100 * 1024 * 1024;
inline constexpr char kDefaultConfigName[] = "default";

class DatabaseConfig;
using DatabaseConfigPtr = std::shared_ptr<DatabaseConfig>;

class DatabaseConfig {
 public:
  // A config with the defaults: persistence off, 10 MiB cache, the main queue for callbacks.
  // Throws dz::Exception NSInvalidArgumentException for a null provider.
  static DatabaseConfigPtr create(std::string sessionIdentifier, AuthTokenProviderPtr provider);

  // The process-wide config named `name`, made with a NoopAuthTokenProvider on first request.
  // Throws dz::Exception NSInvalidArgumentException unless `name` matches "^[a-zA-Z0-9-_]+$".
  static DatabaseConfigPtr configForName(const std::string& name);
  // configForName("default"), looked up once per process.
  static DatabaseConfigPtr defaultConfig();

  DatabaseConfig(const DatabaseConfig&) = delete;
  DatabaseConfig& operator=(const DatabaseConfig&) = delete;

  // Setters throw dz::Exception NSGenericException once frozen, and as noted.
  bool persistenceEnabled() const;
  void setPersistenceEnabled(bool enabled);
  uint64_t persistenceCacheSizeBytes() const;
  // Throws NSInvalidArgumentException outside 1 MiB to 100 MiB (both accepted).
  void setPersistenceCacheSizeBytes(uint64_t bytes);
  platform::DispatchQueuePtr callbackQueue() const;
  // Throws NSInvalidArgumentException for a null queue.
  void setCallbackQueue(platform::DispatchQueuePtr queue);
  AuthTokenProviderPtr authTokenProvider() const;
  // Throws NSInvalidArgumentException for a null provider.
  void setAuthTokenProvider(AuthTokenProviderPtr provider);
  // Null (the default) means the default on-disk engine.
  std::shared_ptr<StorageEngine> forceStorageEngine() const;
  void setForceStorageEngine(std::shared_ptr<StorageEngine> engine);

  const std::string& sessionIdentifier() const { return sessionIdentifier_; }

  bool isFrozen() const { return isFrozen_.load(); }
  void freeze();

 private:
  DatabaseConfig(std::string sessionIdentifier, AuthTokenProviderPtr provider);
  // Throws when frozen; the caller holds mutex_, so freeze() cannot slip in before its change.
  void checkNotFrozen() const;

  const std::string sessionIdentifier_;
  mutable std::mutex mutex_;  // guards the settings and the transition to frozen
  std::atomic<bool> isFrozen_{false};
  bool persistenceEnabled_ = false;
  uint64_t persistenceCacheSizeBytes_ = kDefaultPersistenceCacheSizeBytes;
  platform::DispatchQueuePtr callbackQueue_;
  AuthTokenProviderPtr authTokenProvider_;
  std::shared_ptr<StorageEngine> forceStorageEngine_;
};

}  // namespace dz::database
