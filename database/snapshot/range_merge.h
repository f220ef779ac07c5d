// RangeMerge: server data that replaces every child between an exclusive start path and an
// inclusive end path (either open), as a range-merge push carries it. An immutable value.
#pragma once

#include <optional>

#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class RangeMerge {
 public:
  RangeMerge(std::optional<Path> start, std::optional<Path> end, NodePtr updates)
      : start_(std::move(start)),
        end_(std::move(end)),
        updates_(updates ? std::move(updates) : EmptyNode::emptyNode()) {}

  const std::optional<Path>& start() const { return start_; }
  const std::optional<Path>& end() const { return end_; }
  const NodePtr& updates() const { return updates_; }

  // `node` with the range replaced by the updates.
  NodePtr applyTo(const NodePtr& node) const;

 private:
  NodePtr updateRangeInNode(const Path& currentPath, const NodePtr& node,
                            const NodePtr& updates) const;

  std::optional<Path> start_;
  std::optional<Path> end_;
  NodePtr updates_;
};

// Database key order of paths: key by key, a shorter prefix first.
int comparePaths(const Path& a, const Path& b);

}  // namespace dz::database
