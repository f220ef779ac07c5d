// PersistentConnectionDelegate: what the persistent connection reports to its owner, the
// repository. Every call is made on the work queue; the connection holds its delegate weakly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database/realtime/server_message.h"
#include "platform/value.h"

namespace dz::database {

class PersistentConnection;

class PersistentConnectionDelegate {
 public:
  virtual ~PersistentConnectionDelegate() = default;

  // A data push: the path as the server sent it and the data (a node, or for a merge the writes
  // at paths relative to it); a tag for a tagged query's push.
  virtual void onDataUpdate(PersistentConnection* connection, const std::string& pathString,
                            PushedData message, bool isMerge, std::optional<int64_t> tagId) = 0;
  virtual void onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                            std::optional<int64_t> tagId) = 0;
  // A connection became ready; called after the ready handling and the requests it sent.
  virtual void onConnect(PersistentConnection* connection) = 0;
  virtual void onDisconnect(PersistentConnection* connection) = 0;
  // Server information; the connection sends "serverTimeOffset" in milliseconds.
  virtual void onServerInfoUpdate(PersistentConnection* connection, const Value::Map& updates) = 0;
};

}  // namespace dz::database
