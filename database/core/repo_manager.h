// RepoManager: the process-wide registry of repositories, one per configuration and database
// endpoint. Configurations are told apart by identity (two configurations may carry one session
// identifier, as the default app's and the default one do), endpoints by their repository key.
// Creation and lookup run on callers' threads under the registry's lock; the bulk operations post
// to the work queue. Thread-safe.
#pragma once

#include <functional>
#include <vector>

#include "database/core/repo.h"

namespace dz::database {

class RepoManager {
 public:
  using Factory = std::function<RepoPtr()>;

  // Freezes the config, then returns the repository registered for the config and endpoint, or
  // registers the one `create` makes (called under the lock, so concurrent first uses make one).
  // Asking again for a registered pair reuses it rather than failing.
  static RepoPtr getOrCreateRepo(const RepoInfoPtr& repoInfo, const DatabaseConfigPtr& config,
                                 const Factory& create);

  static void interrupt(const DatabaseConfigPtr& config);
  static void resume(const DatabaseConfigPtr& config);
  static void interruptAll();
  static void resumeAll();
  // Disposes every repository of the config on the work queue, waits for it, and forgets them.
  // Must not be called on the work queue (throws "DispatchQueueDeadlock").
  static void disposeRepos(const DatabaseConfigPtr& config);

 private:
  // The repositories of one config (all when null), copied under the lock.
  static std::vector<RepoPtr> reposOf(const DatabaseConfig* config);
  static void onEachRepo(const DatabaseConfig* config, void (Repo::*operation)());
};

}  // namespace dz::database
