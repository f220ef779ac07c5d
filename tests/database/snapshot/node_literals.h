// Values and nodes written as JSON text, for tests of the data model and the layers above it.
#pragma once

#include "database/snapshot/node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/value.h"

namespace dz::database::node_literals {

inline Value json(const char* text) { return *Value::parseJson(text); }
inline NodePtr node(const char* text) { return SnapshotUtilities::nodeFrom(json(text)); }
inline NodePtr leaf(Value value) { return LeafNode::fromValue(value); }

}  // namespace dz::database::node_literals
