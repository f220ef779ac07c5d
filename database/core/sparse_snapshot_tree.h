// SparseSnapshotTree: on-disconnect writes that a server has acknowledged, by path. Each location
// holds either a value that covers its whole subtree or children, never both. The repository
// keeps one on its work queue; the development server keeps one per connection with exactly the
// same rules, so both agree on the data after a drop (docs/on-disconnect.md). A movable value
// type; not thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "database/snapshot/key_order.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class SparseSnapshotTree {
 public:
  SparseSnapshotTree() = default;
  SparseSnapshotTree(SparseSnapshotTree&&) noexcept = default;
  SparseSnapshotTree& operator=(SparseSnapshotTree&&) noexcept = default;
  SparseSnapshotTree(const SparseSnapshotTree&) = delete;
  SparseSnapshotTree& operator=(const SparseSnapshotTree&) = delete;

  // The data a stored value gives `path`; null when no stored value covers it.
  NodePtr find(const Path& path) const;
  // Stores `node` at `path`: it replaces everything stored at and below the path, and lands
  // inside a value stored above it.
  void remember(const Path& path, NodePtr node);
  // Drops what is stored at and below `path`. A value stored above the path is split into its
  // children first and the forgotten part dropped (so a stored removal, which has no children,
  // goes entirely); a leaf above the path stays, as nothing can be removed below a leaf.
  // Returns whether this location is now empty.
  bool forget(const Path& path);
  // Calls `visit(path, value)` for every stored value, each path being `prefix` joined with the
  // value's location, in key order.
  void forEachTree(const Path& prefix,
                   const std::function<void(const Path&, const NodePtr&)>& visit) const;
  void forEachChild(
      const std::function<void(const std::string&, const SparseSnapshotTree&)>& visit) const;
  bool isEmpty() const { return !value_ && children_.empty(); }

 private:
  NodePtr value_;
  std::map<std::string, std::unique_ptr<SparseSnapshotTree>, KeyLess> children_;
};

}  // namespace dz::database
