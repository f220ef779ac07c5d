// NodeFilter: how a view applies a change to its cached data. The index filter only keeps the
// data in the query's index order; the ranged filter also drops children outside the start and end
// bounds; the limited filter also keeps only the first or last `limit` children. Each records the
// child changes it makes in an accumulator when given one. Immutable; used on the work queue.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "database/core/view/child_change_accumulator.h"
#include "database/snapshot/index.h"
#include "database/snapshot/indexed_node.h"
#include "database/snapshot/named_node.h"
#include "database/snapshot/query_params.h"

namespace dz::database {

class IndexedFilter;

// Where a filter finds a complete child that is not in the view (to refill a limited window).
class CompleteChildSource {
 public:
  virtual ~CompleteChildSource() = default;
  // The complete child, or null when it is not known.
  virtual NodePtr completeChild(const std::string& key) const = 0;
  // The child after (or, reversed, before) `child` in index order, when known.
  virtual std::optional<NamedNode> childAfterChild(const Index& index, const NamedNode& child,
                                                   bool reverse) const = 0;
};

// Knows no children.
class NoCompleteChildSource final : public CompleteChildSource {
 public:
  static const NoCompleteChildSource& instance();
  NodePtr completeChild(const std::string&) const override { return nullptr; }
  std::optional<NamedNode> childAfterChild(const Index&, const NamedNode&, bool) const override {
    return std::nullopt;
  }
};

class NodeFilter {
 public:
  virtual ~NodeFilter() = default;

  // `snap` with the child under `key` replaced by `newChild` (the change was at `affectedPath`
  // below the child).
  IndexedNode updateChild(const IndexedNode& snap, const std::string& key, NodePtr newChild,
                          const Path& affectedPath, const CompleteChildSource& source,
                          ChildChangeAccumulator* accumulator) const {
    return updateChildFrom(snap, key, snap.node()->getImmediateChild(key), std::move(newChild),
                           affectedPath, source, accumulator);
  }
  // The same, given the child now under `key` in `snap` (what its node's getImmediateChild
  // returned), which saves finding it again in a large node.
  virtual IndexedNode updateChildFrom(const IndexedNode& snap, const std::string& key,
                                      const NodePtr& oldChild, NodePtr newChild,
                                      const Path& affectedPath, const CompleteChildSource& source,
                                      ChildChangeAccumulator* accumulator) const = 0;
  // `newSnap` filtered, with the changes from `oldSnap` recorded.
  virtual IndexedNode updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                                     ChildChangeAccumulator* accumulator) const = 0;
  virtual IndexedNode updatePriority(const IndexedNode& oldSnap, NodePtr newPriority) const = 0;
  // Whether the filter may drop data (a view with it holds incomplete data).
  virtual bool filtersNodes() const = 0;
  // The index filter underneath (this one for the index filter).
  virtual const IndexedFilter& indexedFilter() const = 0;
  virtual const IndexPtr& index() const = 0;
};

class IndexedFilter final : public NodeFilter {
 public:
  explicit IndexedFilter(IndexPtr index) : index_(std::move(index)) {}

  IndexedNode updateChildFrom(const IndexedNode& snap, const std::string& key,
                              const NodePtr& oldChild, NodePtr newChild, const Path& affectedPath,
                              const CompleteChildSource& source,
                              ChildChangeAccumulator* accumulator) const override;
  // The same with the node the update leaves (`updated`, the snap's node with `newChild` under
  // `key`) built already: holders of one node then go on sharing one.
  IndexedNode updateChildTo(const IndexedNode& snap, const std::string& key,
                            const NodePtr& oldChild, NodePtr newChild, const Path& affectedPath,
                            NodePtr updated, ChildChangeAccumulator* accumulator) const;
  IndexedNode updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                             ChildChangeAccumulator* accumulator) const override;
  IndexedNode updatePriority(const IndexedNode& oldSnap, NodePtr newPriority) const override;
  bool filtersNodes() const override { return false; }
  const IndexedFilter& indexedFilter() const override { return *this; }
  const IndexPtr& index() const override { return index_; }

 private:
  IndexPtr index_;
};

class RangedFilter final : public NodeFilter {
 public:
  explicit RangedFilter(const QueryParams& params);

  IndexedNode updateChildFrom(const IndexedNode& snap, const std::string& key,
                              const NodePtr& oldChild, NodePtr newChild, const Path& affectedPath,
                              const CompleteChildSource& source,
                              ChildChangeAccumulator* accumulator) const override;
  IndexedNode updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                             ChildChangeAccumulator* accumulator) const override;
  IndexedNode updatePriority(const IndexedNode& oldSnap, NodePtr newPriority) const override;
  bool filtersNodes() const override { return true; }
  const IndexedFilter& indexedFilter() const override { return indexedFilter_; }
  const IndexPtr& index() const override { return index_; }

  const NamedNode& startPost() const { return startPost_; }
  const NamedNode& endPost() const { return endPost_; }
  // Whether the child lies within the bounds.
  bool matches(const NamedNode& node) const;

 private:
  IndexedFilter indexedFilter_;
  IndexPtr index_;
  NamedNode startPost_;
  NamedNode endPost_;
};

class LimitedFilter final : public NodeFilter {
 public:
  explicit LimitedFilter(const QueryParams& params);

  IndexedNode updateChildFrom(const IndexedNode& snap, const std::string& key,
                              const NodePtr& oldChild, NodePtr newChild, const Path& affectedPath,
                              const CompleteChildSource& source,
                              ChildChangeAccumulator* accumulator) const override;
  IndexedNode updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                             ChildChangeAccumulator* accumulator) const override;
  IndexedNode updatePriority(const IndexedNode& oldSnap, NodePtr newPriority) const override;
  bool filtersNodes() const override { return true; }
  const IndexedFilter& indexedFilter() const override { return rangedFilter_.indexedFilter(); }
  const IndexPtr& index() const override { return index_; }

 private:
  IndexedNode fullLimitUpdateChild(const IndexedNode& snap, const std::string& key,
                                   const NodePtr& oldChild, NodePtr childSnap,
                                   const CompleteChildSource& source,
                                   ChildChangeAccumulator* accumulator) const;
  // Index order, or its reverse for a window anchored at the end.
  int compare(const NamedNode& a, const NamedNode& b) const;

  RangedFilter rangedFilter_;
  IndexPtr index_;
  size_t limit_;
  bool reverse_;
};

// Calls `visit(child)` for the children in index order (or reversed) until it returns true.
template <class Visit>
void forEachIndexedChild(const IndexedNode& node, bool reverse, Visit&& visit) {
  if (reverse) {
    for (const NamedNode& child : node.reversed()) {
      if (visit(child)) return;
    }
  } else {
    for (const NamedNode& child : node) {
      if (visit(child)) return;
    }
  }
}

// The same from the first child at or after `post` (at or before it, reversed).
template <class Visit>
void forEachIndexedChildFrom(const IndexedNode& node, const NamedNode& post, bool reverse,
                             Visit&& visit) {
  if (reverse) {
    auto range = node.reversed();
    for (auto it = range.from(post), end = range.end(); it != end; ++it) {
      if (visit(*it)) return;
    }
  } else {
    for (auto it = node.iteratorFrom(post), end = node.end(); it != end; ++it) {
      if (visit(*it)) return;
    }
  }
}

// The filter of a query's parameters.
std::unique_ptr<NodeFilter> makeNodeFilter(const QueryParams& params);

}  // namespace dz::database
