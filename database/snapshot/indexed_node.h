// IndexedNode: a node together with the index its children are ordered by. The sorted view of
// the children is built lazily, once, on first use (thread-safe), and kept up to date in
// O(log n) by updateChild. Key order is used without building anything for the key index and
// while no child has a value the index is defined on (the index order is then the key order).
// A cheap value type; copies share the node and the view.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "database/snapshot/index.h"
#include "database/snapshot/named_node.h"
#include "database/snapshot/node.h"

namespace dz::database {

class IndexedNode {
  using SortedChildren = SortedMap<NamedNode, std::monostate, IndexCompare>;

 public:
  // Children ordered by the priority index.
  explicit IndexedNode(NodePtr node);
  IndexedNode(NodePtr node, IndexPtr index);
  static IndexedNode indexedNodeWithNode(NodePtr node) { return IndexedNode(std::move(node)); }

  const NodePtr& node() const { return node_; }
  const IndexPtr& index() const { return index_; }
  bool hasIndex(const Index& index) const { return index_->equals(index); }

  // This node with the child under `key` replaced (an empty child removes it) or the priority
  // replaced; the sorted view follows in O(log n) when it was built.
  IndexedNode updateChild(const std::string& key, NodePtr child) const;
  // The same, given the child now under `key` (what the node's getImmediateChild returned).
  IndexedNode updateChild(const std::string& key, NodePtr child, const NodePtr& oldChild) const;
  // The same with the updated node already built (`updated`: this node with `child` under `key`
  // in place of `oldChild`), so that holders of one node can go on sharing one.
  IndexedNode updateChild(const std::string& key, NodePtr child, const NodePtr& oldChild,
                          NodePtr updated) const;
  IndexedNode updatePriority(NodePtr priority) const;
  // This node ordered by `index` (itself when it already is).
  IndexedNode withIndex(const IndexPtr& index) const;

  // First and last child in index order; none without children.
  std::optional<NamedNode> firstChild() const;
  std::optional<NamedNode> lastChild() const;
  // The key of the child before (key, child) in index order; none when it is the first.
  std::optional<std::string> predecessorChildKey(const std::string& key,
                                                 const NodePtr& child) const;

  // Iterates the children as named nodes in index order.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using value_type = NamedNode;
    using reference = NamedNode;

    Iterator() = default;
    NamedNode operator*() const;
    Iterator& operator++();
    void operator++(int) { ++*this; }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.it_ == b.it_; }

   private:
    friend class IndexedNode;
    using Variant = std::variant<ChildMap::iterator, ChildMap::reverse_iterator,
                                 SortedChildren::iterator, SortedChildren::reverse_iterator>;
    explicit Iterator(Variant it) : it_(std::move(it)) {}
    Variant it_;
  };
  Iterator begin() const;
  Iterator end() const;
  // Ascending from the first child at or after `post` in index order.
  Iterator iteratorFrom(const NamedNode& post) const;

  // Descending order: `for (const NamedNode& child : indexed.reversed())`. The range keeps the
  // node alive.
  class ReverseRange;
  ReverseRange reversed() const;

  // Same data and same index.
  friend bool operator==(const IndexedNode& a, const IndexedNode& b);

 private:
  struct Order {
    std::once_flag once;
    std::atomic<bool> built{false};
    bool keyOrder = false;
    std::optional<SortedChildren> sorted;
  };

  IndexedNode(NodePtr node, IndexPtr index, std::shared_ptr<Order> order);
  static std::shared_ptr<Order> builtOrder(bool keyOrder, std::optional<SortedChildren> sorted);
  // The built view; whether key order stands in for it.
  const Order& order() const;
  // Where a post falls against children without an index value: -1 before all, 0 among them by
  // key, 1 after all.
  int postAgainstUndefined(const NamedNode& post) const;

  NodePtr node_;
  IndexPtr index_;
  std::shared_ptr<Order> order_;
};

class IndexedNode::ReverseRange {
 public:
  Iterator begin() const;
  Iterator end() const;
  // Descending from the last child at or before `post`.
  Iterator from(const NamedNode& post) const;

 private:
  friend class IndexedNode;
  explicit ReverseRange(IndexedNode node) : node_(std::move(node)) {}
  IndexedNode node_;
};

}  // namespace dz::database
