// DatabaseTree: the data of one namespace as the server keeps it, in the project's own nodes (and
// converted from wire JSON by the client's own code), so its data hashes are exactly the ones the
// client computes. Also the server's resolution of server values. Not thread-safe: the server's
// thread owns every tree.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::devserver {

// The wire JSON of a node (export form: priorities kept, no arrays); null for the empty node.
boost::json::value jsonOfNode(const database::Node& node);

// `json` with every {".sv": "timestamp"} replaced by `nowMs`, in values and priorities (a
// placeholder's own priority kept); other placeholders stay as written, for the node model to
// refuse.
boost::json::value resolveServerValues(const boost::json::value& json, int64_t nowMs);

// The node of wire JSON written at `path`. Throws when the node model refuses the value, or when it
// would put data more than 1,000 levels below the root (the root is level 0): a client reads no
// deeper, so a read of the root, or of anywhere above the data, could not show it.
database::NodePtr nodeToStore(const database::Path& path, const boost::json::value& json);

// Parses message text as JSON, allowing data as deep as the data model allows. None when malformed.
std::optional<boost::json::value> parseJsonText(std::string_view text);

class DatabaseTree {
 public:
  const database::NodePtr& root() const { return root_; }
  database::NodePtr get(const database::Path& path) const { return root_->getChild(path); }
  // The data hash at `path` ("" where there is no data).
  std::string hash(const database::Path& path) const { return get(path)->dataHash(); }

  void set(const database::Path& path, database::NodePtr node);
  // Each child path of `children` (relative to `path`) set to its node, in order.
  void update(const database::Path& path, const boost::json::object& children, int64_t nowMs);

 private:
  database::NodePtr root_ = database::EmptyNode::emptyNode();
};

}  // namespace dz::devserver
