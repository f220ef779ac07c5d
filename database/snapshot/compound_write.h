// CompoundWrite: an immutable set of overwrites at paths relative to one location (a merge, or
// the pending writes over a location). A write at a path replaces everything below it; a later
// write below an earlier one is folded into the earlier write's node. A cheap value type
// (copies share one persistent tree); safe to read from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "database/snapshot/key_order.h"
#include "database/snapshot/named_node.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"
#include "database/snapshot/sorted_map.h"
#include "platform/value.h"

namespace dz::database {

class CompoundWrite {
 public:
  // The empty write.
  CompoundWrite();
  static CompoundWrite emptyWrite() { return CompoundWrite(); }
  // Writes of nodeFrom() of each value at the path its key spells. Throws what nodeFrom throws.
  static CompoundWrite compoundWriteWithValueDictionary(const Value::Map& values);

  // A write with `node` written at `path` (over any earlier write at or below it).
  CompoundWrite addWrite(const Path& path, NodePtr node) const;
  // A write with every write of `updates` added below `path`.
  CompoundWrite addWrites(const Path& path, const CompoundWrite& updates) const;
  // A write without the writes at or below `path`; a write above `path` is left as it is.
  CompoundWrite removeWrite(const Path& path) const;

  bool isEmpty() const;
  // The write at the root; null when there is none.
  NodePtr rootWrite() const;
  // Whether a write covers all of `path`.
  bool hasCompleteWrite(const Path& path) const { return completeNode(path) != nullptr; }
  // The data the writes fix at `path`; null when no write covers all of it.
  NodePtr completeNode(const Path& path) const;
  // The immediate children the writes fix completely, in key order.
  std::vector<NamedNode> completeChildren() const;
  // The writes relative to `path` (a covering write gives its node at that path).
  CompoundWrite childCompoundWrite(const Path& path) const;
  // The non-empty child writes by immediate key, in key order.
  std::vector<std::pair<std::string, CompoundWrite>> childCompoundWrites() const;

  // The node with every write applied as one change: a node above the written paths keeps its
  // priority (or takes a ".priority" write) whenever data remains in it, whatever the order.
  NodePtr apply(const NodePtr& node) const;

  // Calls `visit(path, node)` for every write, parents before children and siblings in key
  // order, until it returns true; returns whether it stopped early.
  template <class Visit>
  bool enumerateWrites(Visit&& visit) const {
    return enumerate(*root_, Path(), visit);
  }

  // A map from each write's path in wire form ("/" for the root) to the node's value.
  Value valForExport(bool exportFormat) const;

  // Same paths with equal nodes.
  friend bool operator==(const CompoundWrite& a, const CompoundWrite& b);

 private:
  struct TreeNode;
  using TreePtr = std::shared_ptr<const TreeNode>;
  using TreeChildren = SortedMap<std::string, TreePtr, KeyCompare>;
  struct TreeNode {
    NodePtr value;  // null when no write is here
    TreeChildren children;
  };

  explicit CompoundWrite(TreePtr root) : root_(std::move(root)) {}
  static const TreePtr& emptyTree();
  static TreePtr setTree(const TreePtr& tree, const Path& path, size_t index, TreePtr subtree);
  const TreeNode* subtree(const Path& path) const;
  static NodePtr applySubtree(const Path& relativePath, const TreeNode& tree, NodePtr node);

  template <class Visit>
  static bool enumerate(const TreeNode& tree, const Path& path, Visit& visit) {
    if (tree.value && visit(path, tree.value)) return true;
    for (const auto& entry : tree.children) {
      if (enumerate(*entry.value, path.child(entry.key), visit)) return true;
    }
    return false;
  }

  TreePtr root_;
};

}  // namespace dz::database
