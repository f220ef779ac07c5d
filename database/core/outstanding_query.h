// OutstandingQuery: a listen the persistent connection keeps until it is unlistened, refused or
// revoked; sent again after every reconnection. A plain record, owned by the connection's listen
// table and touched only on the work queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/core/listen_provider.h"
#include "database/snapshot/query_spec.h"

namespace dz::database {

// Receives the status of the listen's reply ("ok" or the server's status).
using ListenCallback = std::function<void(const std::string& status)>;

struct OutstandingQuery {
  QuerySpec query;
  std::optional<QueryTag> tagId;
  std::shared_ptr<const SyncTreeHash> syncTreeHash;
  ListenCallback onComplete;
};

}  // namespace dz::database
