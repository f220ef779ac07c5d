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
#include "platform/error.h"

namespace dz::database {

// Receives the outcome of the listen's reply: none, or the error the server's status stands for.
using ListenCallback = std::function<void(const ErrorPtr& error)>;

struct OutstandingQuery {
  QuerySpec query;
  std::optional<QueryTag> tagId;
  std::shared_ptr<const SyncTreeHash> syncTreeHash;
  ListenCallback onComplete;
};

}  // namespace dz::database
