// Database: the entry object of the database client, one per configured app, made on first
// request from the app's database URL. It hands out references, switches the connection off and
// on, drops pending writes, and carries the settings that must be made before first use. It is
// in use from the first call that needs its repository (reference, referenceWithPath,
// referenceFromURL, goOnline, goOffline, purgeOutstandingWrites); settings are refused from then
// on. Shared (std::shared_ptr) and kept for the life of the process; every method is
// thread-safe. Misuse throws dz::Exception on the caller's thread before anything is made.
//
// This header is what a user of the database includes: it brings references, queries,
// snapshots, mutable data, transaction results, server values and the configuration.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/app.h"
#include "database/api/data_snapshot.h"
#include "database/api/database_config.h"
#include "database/api/database_query.h"
#include "database/api/database_reference.h"
#include "database/api/mutable_data.h"
#include "database/api/server_value.h"
#include "database/api/transaction_result.h"
#include "platform/dispatch_queue.h"
#include "platform/exception.h"

namespace dz::database {

class RepoInfo;

class Database : public std::enable_shared_from_this<Database> {
 public:
  // The default app's database. Throws "DZAppNotConfigured" when no default app is configured.
  static std::shared_ptr<Database> database();
  // The one database of `app`. Throws "InvalidDZApp" for no app, "MissingDatabaseURL" when the
  // app has no database URL and "InvalidDatabaseURL" when the URL carries a path.
  static std::shared_ptr<Database> databaseForApp(const core::AppPtr& app);

  static std::string sdkVersion();
  static std::string buildVersion();
  // Switches the database client's debug logging.
  static void setLoggingEnabled(bool enabled);

  DatabaseReference reference();
  // A leading ".info" segment is allowed; otherwise throws "InvalidPathValidation" for a bad path.
  DatabaseReference referenceWithPath(std::string_view path);
  // Throws "InvalidDatabaseURL" for an empty URL or one of another database.
  DatabaseReference referenceFromURL(std::string_view url);

  // Queued on the work queue; return at once.
  void goOnline();
  void goOffline();
  void purgeOutstandingWrites();

  // Settings: the setters throw "DZDatabaseAlreadyInUse" once the database is in use, and as
  // the configuration's own checks say.
  bool persistenceEnabled() const;
  void setPersistenceEnabled(bool enabled);
  uint64_t persistenceCacheSizeBytes() const;
  void setPersistenceCacheSizeBytes(uint64_t bytes);
  platform::DispatchQueuePtr callbackQueue() const;
  void setCallbackQueue(platform::DispatchQueuePtr queue);

  // The app, or null for a database made without one (or whose app was let go).
  core::AppPtr app() const { return app_.lock(); }

  // For the library: a database without an app, in use at once (a reference made from a URL).
  static std::shared_ptr<Database> createDatabaseForTests(std::shared_ptr<RepoInfo> repoInfo,
                                                          std::shared_ptr<DatabaseConfig> config);
  // The repository, or null while the database is not in use.
  std::shared_ptr<Repo> repo() const;
  const std::shared_ptr<DatabaseConfig>& config() const { return config_; }

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

 private:
  Database(const core::AppPtr& app, std::shared_ptr<RepoInfo> repoInfo,
           std::shared_ptr<DatabaseConfig> config);
  // The repository, made on first use (once, whatever the threads).
  std::shared_ptr<Repo> ensureRepo();
  void checkNotInUse(const char* setting) const;

  const std::weak_ptr<core::App> app_;
  const std::shared_ptr<RepoInfo> repoInfo_;
  const std::shared_ptr<DatabaseConfig> config_;
  mutable std::mutex mutex_;  // guards repo_ and the move into use
  std::shared_ptr<Repo> repo_;
};

}  // namespace dz::database
