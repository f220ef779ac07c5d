// Nodes straight to JSON text, without a JSON document in between: the very text that
// boost::json::serialize gives for SnapshotUtilities::toJson of the node.
// SnapshotUtilities::toJsonText is the public entry point.
#pragma once

#include <string>

#include "database/snapshot/node.h"

namespace dz::database {

// Appends the JSON text of the node (Node::val's rules; priorities and no arrays in export form).
void writeJsonText(const Node& node, bool exportFormat, std::string& out);

}  // namespace dz::database
