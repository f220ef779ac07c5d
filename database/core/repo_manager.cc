#include "database/core/repo_manager.h"

#include <map>
#include <mutex>

#include "database/utilities/logging.h"

namespace dz::database {
namespace {

// Configs are held so that their addresses, the keys, cannot be reused while registered.
struct Registry {
  std::recursive_mutex mutex;
  std::map<const DatabaseConfig*, std::pair<DatabaseConfigPtr, std::map<std::string, RepoPtr>>>
      configs;
};

Registry& registry() {
  static auto* shared = new Registry;
  return *shared;
}

}  // namespace

RepoPtr RepoManager::getOrCreateRepo(const RepoInfoPtr& repoInfo, const DatabaseConfigPtr& config,
                                     const Factory& create) {
  config->freeze();
  Registry& table = registry();
  std::lock_guard lock(table.mutex);
  auto& entry = table.configs[config.get()];
  entry.first = config;
  RepoPtr& repo = entry.second[repoKey(*repoInfo)];
  if (!repo) repo = create();
  return repo;
}

std::vector<RepoPtr> RepoManager::reposOf(const DatabaseConfig* config) {
  Registry& table = registry();
  std::lock_guard lock(table.mutex);
  std::vector<RepoPtr> repos;
  for (const auto& [key, entry] : table.configs) {
    if (config && key != config) continue;
    for (const auto& [name, repo] : entry.second) repos.push_back(repo);
  }
  return repos;
}

void RepoManager::onEachRepo(const DatabaseConfig* config, void (Repo::*operation)()) {
  for (const RepoPtr& repo : reposOf(config)) {
    repo->queue()->async([repo, operation] { (repo.get()->*operation)(); });
  }
}

void RepoManager::interrupt(const DatabaseConfigPtr& config) {
  onEachRepo(config.get(), &Repo::interrupt);
}

void RepoManager::resume(const DatabaseConfigPtr& config) {
  onEachRepo(config.get(), &Repo::resume);
}

void RepoManager::interruptAll() { onEachRepo(nullptr, &Repo::interrupt); }

void RepoManager::resumeAll() { onEachRepo(nullptr, &Repo::resume); }

void RepoManager::disposeRepos(const DatabaseConfigPtr& config) {
  std::vector<RepoPtr> repos;
  {
    Registry& table = registry();
    std::lock_guard lock(table.mutex);
    auto found = table.configs.find(config.get());
    if (found == table.configs.end()) return;
    for (const auto& [name, repo] : found->second.second) repos.push_back(repo);
    table.configs.erase(found);
  }
  logDebug("I-RDB04001", "Disposing all repos for Config with name " + config->sessionIdentifier());
  for (const RepoPtr& repo : repos) repo->queue()->sync([&] { repo->dispose(); });
}

}  // namespace dz::database
