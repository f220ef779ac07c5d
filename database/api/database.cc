#include "database/api/database.h"

#include <map>

#include "database/core/auth_token_provider.h"
#include "database/core/parsed_url.h"
#include "database/core/repo.h"
#include "database/core/repo_manager.h"
#include "database/snapshot/validation.h"
#include "database/utilities/client_version.h"
#include "database/utilities/logging.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr char kDefaultSessionIdentifier[] = "default";
constexpr char kInvalidDatabaseURL[] = "InvalidDatabaseURL";
constexpr char kReferenceWithPathLabel[] = "referenceWithPath";

struct Instances {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<Database>> byAppName;
};

Instances& instances() {
  static auto* table = new Instances;
  return *table;
}

}  // namespace

Database::Database(const core::AppPtr& app, std::shared_ptr<RepoInfo> repoInfo,
                   std::shared_ptr<DatabaseConfig> config)
    : app_(app), repoInfo_(std::move(repoInfo)), config_(std::move(config)) {}

std::shared_ptr<Database> Database::database() {
  core::AppPtr app = core::App::defaultApp();
  if (!app) {
    throw Exception("DZAppNotConfigured",
                    "Failed to get default DZDatabase instance. Must call DZApp.configure() before "
                    "using DZDatabase.");
  }
  return databaseForApp(app);
}

std::shared_ptr<Database> Database::databaseForApp(const core::AppPtr& app) {
  if (!app) throw Exception("InvalidDZApp", "nil DZApp instance passed to databaseForApp.");
  Instances& table = instances();
  std::lock_guard lock(table.mutex);
  auto found = table.byAppName.find(app->name());
  // An app deleted and configured again under its name gets a database of its own.
  if (found != table.byAppName.end() && found->second->app() == app) return found->second;
  const std::optional<std::string>& url = app->options().databaseURL;
  if (!url) {
    throw Exception("MissingDatabaseURL",
                    "Failed to get DZDatabase instance: DZApp object has no databaseURL in its "
                    "DezuvuraOptions object.");
  }
  ParsedUrl parsed = parseUrl(*url);
  if (!parsed.path.isEmpty()) {
    throw Exception(kInvalidDatabaseURL,
                    "Configured Database URL '" + *url +
                        "' is invalid. It should point to the root of a Dezuvura Database but it "
                        "includes a path: " +
                        parsed.path.toString());
  }
  std::string sessionIdentifier =
      app->name() == core::kDefaultAppName ? kDefaultSessionIdentifier : app->name();
  auto config =
      DatabaseConfig::create(sessionIdentifier, AuthTokenProvider::authTokenProviderForApp(app));
  std::shared_ptr<Database> database(new Database(app, parsed.repoInfo, std::move(config)));
  table.byAppName[app->name()] = database;
  return database;
}

std::shared_ptr<Database> Database::createDatabaseForTests(std::shared_ptr<RepoInfo> repoInfo,
                                                           std::shared_ptr<DatabaseConfig> config) {
  std::shared_ptr<Database> database(new Database(nullptr, std::move(repoInfo), std::move(config)));
  database->repo_ = Repo::create(database->repoInfo_, database->config_);
  database->repo_->setDatabase(database);
  return database;
}

std::string Database::sdkVersion() { return database::sdkVersion(); }

std::string Database::buildVersion() { return database::buildVersion(); }

void Database::setLoggingEnabled(bool enabled) {
  database::setLoggingEnabled(enabled);
  logDebug("I-RDB02401", "BUILD Version: " + buildVersion());
}

std::shared_ptr<Repo> Database::ensureRepo() {
  std::lock_guard lock(mutex_);
  if (!repo_) {
    repo_ = RepoManager::getOrCreateRepo(repoInfo_, config_, [this] {
      RepoPtr repo = Repo::create(repoInfo_, config_);
      repo->setDatabase(shared_from_this());
      return repo;
    });
  }
  return repo_;
}

std::shared_ptr<Repo> Database::repo() const {
  std::lock_guard lock(mutex_);
  return repo_;
}

DatabaseReference Database::reference() { return DatabaseReference(ensureRepo(), Path()); }

DatabaseReference Database::referenceWithPath(std::string_view path) {
  // Checked first: a refused path leaves the database unused.
  Validation::validateRootPathString(kReferenceWithPathLabel, path);
  return DatabaseReference(ensureRepo(), Path(path));
}

DatabaseReference Database::referenceFromURL(std::string_view url) {
  if (url.empty())
    throw Exception(kInvalidDatabaseURL, "Invalid nil url passed to referenceFromURL:");
  ParsedUrl parsed = parseUrl(url);
  if (parsed.repoInfo->host() != repoInfo_->host()) {
    throw Exception(kInvalidDatabaseURL, "Invalid URL (" + std::string(url) +
                                             ") passed to getReference(). URL was expected to "
                                             "match configured Database URL: " +
                                             repoInfo_->description());
  }
  return DatabaseReference(ensureRepo(), parsed.path);
}

void Database::goOnline() {
  RepoPtr repo = ensureRepo();
  repo->queue()->async([repo] { repo->resume(); });
}

void Database::goOffline() {
  RepoPtr repo = ensureRepo();
  repo->queue()->async([repo] { repo->interrupt(); });
}

void Database::purgeOutstandingWrites() {
  RepoPtr repo = ensureRepo();
  repo->queue()->async([repo] { repo->purgeOutstandingWrites(); });
}

void Database::checkNotInUse(const char* setting) const {
  if (repo_) {
    throw Exception("DZDatabaseAlreadyInUse", std::string("Calls to ") + setting +
                                                  " must be made before any other usage of "
                                                  "DZDatabase instance.");
  }
}

bool Database::persistenceEnabled() const { return config_->persistenceEnabled(); }

void Database::setPersistenceEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  checkNotInUse("setPersistenceEnabled");
  config_->setPersistenceEnabled(enabled);
}

uint64_t Database::persistenceCacheSizeBytes() const {
  return config_->persistenceCacheSizeBytes();
}

void Database::setPersistenceCacheSizeBytes(uint64_t bytes) {
  std::lock_guard lock(mutex_);
  checkNotInUse("setPersistenceCacheSizeBytes");
  config_->setPersistenceCacheSizeBytes(bytes);
}

platform::DispatchQueuePtr Database::callbackQueue() const { return config_->callbackQueue(); }

void Database::setCallbackQueue(platform::DispatchQueuePtr queue) {
  std::lock_guard lock(mutex_);
  checkNotInUse("setCallbackQueue");
  config_->setCallbackQueue(std::move(queue));
}

}  // namespace dz::database
