// PersistentConnectionDelegate: what the persistent connection reports to its owner, the
// repository. Every call is made on the work queue; the connection holds its delegate weakly.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database/core/range_merge.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/value.h"

namespace dz::database {

class PersistentConnection;

class PersistentConnectionDelegate {
 public:
  virtual ~PersistentConnectionDelegate() = default;

  // A data push: the path as the server sent it and the data as JSON (for a merge, an object of
  // relative paths to values); a tag for a tagged query's push.
  virtual void onDataUpdate(PersistentConnection* connection, const std::string& pathString,
                            const boost::json::value& message, bool isMerge,
                            std::optional<int64_t> tagId) = 0;
  // A data push whose data the connection read straight into nodes (never empty). By default
  // handed on as JSON, as onDataUpdate takes it.
  virtual void onDataOverwrite(PersistentConnection* connection, const std::string& pathString,
                               NodePtr data, std::optional<int64_t> tagId) {
    onDataUpdate(connection, pathString, SnapshotUtilities::toJson(*data, true), false, tagId);
  }
  virtual void onRangeMerge(const std::vector<RangeMerge>& ranges, const std::string& pathString,
                            std::optional<int64_t> tagId) = 0;
  // A connection became ready; called after the ready handling and the requests it sent.
  virtual void onConnect(PersistentConnection* connection) = 0;
  virtual void onDisconnect(PersistentConnection* connection) = 0;
  // Server information; the connection sends "serverTimeOffset" in milliseconds.
  virtual void onServerInfoUpdate(PersistentConnection* connection, const Value::Map& updates) = 0;
};

}  // namespace dz::database
