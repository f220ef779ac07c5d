#include "database/core/server_values.h"

#include <cmath>
#include <limits>

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

int64_t truncatedMilliseconds(double seconds) {
  double milliseconds = std::trunc(seconds * 1000.0);
  // A broken clock must not make the conversion undefined.
  if (!(milliseconds > static_cast<double>(std::numeric_limits<int64_t>::min()))) {
    return std::numeric_limits<int64_t>::min();
  }
  if (milliseconds >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(milliseconds);
}

// The resolved priority; the same node when it holds no placeholder that resolves.
NodePtr resolvedPriority(const NodePtr& priority, const Value::Map& serverValues) {
  if (!priority->isLeafNode() || !static_cast<const LeafNode&>(*priority).isPlaceholder()) {
    return priority;
  }
  Value plain = priority->val();
  Value resolved = ServerValues::resolveDeferredValue(plain, serverValues);
  if (resolved == plain) return priority;
  return SnapshotUtilities::nodeFrom(resolved);
}

}  // namespace

Value::Map ServerValues::generateServerValues(const Clock& clock) {
  Value::Map values;
  values.emplace(kServerValueTimestamp,
                 Value(static_cast<long long>(truncatedMilliseconds(clock.currentTime()))));
  return values;
}

Value ServerValues::resolveDeferredValue(const Value& value, const Value::Map& serverValues) {
  const Value* name = value.find(kServerValueKey);
  if (!name || !name->isString()) return value;
  auto it = serverValues.find(name->asString());
  return it == serverValues.end() ? value : it->second;
}

NodePtr ServerValues::resolveDeferredValueSnapshot(const NodePtr& node,
                                                   const Value::Map& serverValues) {
  if (!node || node->isEmpty()) return node;
  const NodePtr& priority = node->getPriority();
  NodePtr newPriority = resolvedPriority(priority, serverValues);
  if (node->isLeafNode()) {
    const auto& leaf = static_cast<const LeafNode&>(*node);
    if (leaf.isPlaceholder()) {
      Value plain = leaf.plainValue();
      Value resolved = resolveDeferredValue(plain, serverValues);
      if (!(resolved == plain)) {
        return SnapshotUtilities::nodeFrom(resolved)->updatePriority(std::move(newPriority));
      }
    }
    return newPriority == priority ? node : node->updatePriority(std::move(newPriority));
  }
  NodePtr result = newPriority == priority ? node : node->updatePriority(std::move(newPriority));
  for (const auto& entry : node->children()) {
    NodePtr child = resolveDeferredValueSnapshot(entry.value, serverValues);
    if (child != entry.value) result = result->updateImmediateChild(entry.key, std::move(child));
  }
  return result;
}

CompoundWrite ServerValues::resolveDeferredValueCompoundWrite(const CompoundWrite& write,
                                                              const Value::Map& serverValues) {
  CompoundWrite result = write;
  write.enumerateWrites([&](const Path& path, const NodePtr& node) {
    NodePtr resolved = resolveDeferredValueSnapshot(node, serverValues);
    if (resolved != node) result = result.addWrite(path, std::move(resolved));
    return false;
  });
  return result;
}

SparseSnapshotTree ServerValues::resolveDeferredValueTree(const SparseSnapshotTree& tree,
                                                          const Value::Map& serverValues) {
  SparseSnapshotTree resolved;
  tree.forEachTree(Path(), [&](const Path& path, const NodePtr& node) {
    resolved.remember(path, resolveDeferredValueSnapshot(node, serverValues));
  });
  return resolved;
}

}  // namespace dz::database
