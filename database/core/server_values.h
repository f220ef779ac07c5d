// Server values: placeholders ({".sv": name}) that the server replaces with its own value when
// it applies a write. Locally they are resolved at once with the client's best guess of the
// server's values, so the caller sees data immediately. Thread-safe free functions.
#pragma once

#include "database/core/clock.h"
#include "database/core/sparse_snapshot_tree.h"
#include "database/snapshot/compound_write.h"
#include "database/snapshot/node.h"
#include "platform/value.h"

namespace dz::database {

class ServerValues {
 public:
  // {"timestamp": the clock's time in milliseconds, truncated to an int64}.
  static Value::Map generateServerValues(const Clock& clock);

  // The server value a placeholder names; any other value (and a placeholder naming an unknown
  // server value) comes back unchanged.
  static Value resolveDeferredValue(const Value& value, const Value::Map& serverValues);
  // The node with every placeholder resolved, in values and priorities; the very same node
  // (and the same subtrees) where nothing changes.
  static NodePtr resolveDeferredValueSnapshot(const NodePtr& node, const Value::Map& serverValues);
  // The write with every node resolved; the same write when nothing changes.
  static CompoundWrite resolveDeferredValueCompoundWrite(const CompoundWrite& write,
                                                         const Value::Map& serverValues);
  // A new tree holding every stored node resolved at its path.
  static SparseSnapshotTree resolveDeferredValueTree(const SparseSnapshotTree& tree,
                                                     const Value::Map& serverValues);
};

}  // namespace dz::database
