// Node: the immutable tree value of the database (leaf, children, empty), with an optional
// priority. Nodes are shared as NodePtr and never change after construction; every update returns
// a new node that shares all untouched subtrees with the old one (O(depth · log n) copying).
// Nodes may be read from any thread; the lazily computed data hash is published atomically.
//
// Ownership: nodes are made only by the static factories below (or by nodeFrom in
// snapshot_utilities.h) and always live in a NodePtr.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "database/snapshot/key_order.h"
#include "database/snapshot/path.h"
#include "database/snapshot/sorted_map.h"
#include "platform/value.h"

namespace dz::database {

class HashTextSink;
class Node;

// A counted reference to an immutable node, with the interface of a shared pointer. The count
// lives in the node itself: no control block, and a copy costs one atomic add.
class NodePtr {
 public:
  NodePtr() noexcept = default;
  NodePtr(std::nullptr_t) noexcept {}
  NodePtr(const NodePtr& other) noexcept;
  NodePtr(NodePtr&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  ~NodePtr();

  NodePtr& operator=(const NodePtr& other) noexcept {
    NodePtr(other).swap(*this);
    return *this;
  }
  NodePtr& operator=(NodePtr&& other) noexcept {
    NodePtr(std::move(other)).swap(*this);
    return *this;
  }
  NodePtr& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  const Node* get() const noexcept { return node_; }
  const Node& operator*() const noexcept { return *node_; }
  const Node* operator->() const noexcept { return node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  void reset() noexcept { NodePtr().swap(*this); }
  void swap(NodePtr& other) noexcept { std::swap(node_, other.node_); }
  friend void swap(NodePtr& a, NodePtr& b) noexcept { a.swap(b); }

  friend bool operator==(const NodePtr& a, const NodePtr& b) noexcept { return a.node_ == b.node_; }
  friend bool operator==(const NodePtr& a, std::nullptr_t) noexcept { return !a.node_; }

 private:
  friend class Node;
  friend class LeafNode;
  friend class ChildrenNode;
  friend class EmptyNode;

  // Adds a reference to a node that is already held (reached through another NodePtr).
  explicit NodePtr(const Node* node) noexcept;
  // Takes over the one reference a node is made with.
  static NodePtr adopt(const Node* fresh) noexcept {
    NodePtr ptr;
    ptr.node_ = fresh;
    return ptr;
  }

  const Node* node_ = nullptr;
};

// Children by key, in key order.
using ChildMap = SortedMap<std::string, NodePtr, KeyCompare>;

inline constexpr char kPriorityKey[] = ".priority";
inline constexpr char kValueKey[] = ".value";
inline constexpr char kServerValueKey[] = ".sv";
// 2^63: doubles from here up, and below its negative, lie outside the int64 range.
inline constexpr double kTwoTo63 = 9223372036854775808.0;
// Raised for values that cannot be stored.
inline constexpr char kInvalidDezuvuraData[] = "InvalidDezuvuraData";

class Node {
 public:
  virtual ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  virtual bool isLeafNode() const = 0;
  // No data: a children node without children (whatever its priority).
  virtual bool isEmpty() const = 0;

  // The priority: a leaf, or the empty node when there is none.
  virtual const NodePtr& getPriority() const = 0;
  // This node with another priority (the empty node clears it); this very node when unchanged.
  virtual NodePtr updatePriority(NodePtr priority) const = 0;

  // The child under `key`; ".priority" names the priority. The empty node when absent.
  virtual NodePtr getImmediateChild(const std::string& key) const = 0;
  // The descendant at `path`: this node for the root path, the empty node when absent.
  NodePtr getChild(const Path& path) const;
  bool hasChild(const std::string& key) const { return !getImmediateChild(key)->isEmpty(); }

  // This node with the child under `key` replaced (an empty child removes it; ".priority" sets
  // the priority). A leaf given a non-empty child becomes a children node. Removing the last child
  // gives the shared empty node. This very node when nothing changes.
  virtual NodePtr updateImmediateChild(const std::string& key, NodePtr child) const = 0;
  // The same, given the child now under `key` (what getImmediateChild returned), which saves
  // finding it again in a large node.
  virtual NodePtr updateImmediateChild(const std::string& key, NodePtr child,
                                       const NodePtr& oldChild) const = 0;
  // This node with the descendant at `path` replaced; the root path gives `node` itself.
  NodePtr updateChild(const Path& path, NodePtr node) const;

  // The children in key order; empty for leaves. Iterate forward or with reversed().
  virtual const ChildMap& children() const = 0;
  size_t numChildren() const { return children().size(); }
  // The key before / after `key` in key order (whether or not `key` is a child); none at the ends.
  std::optional<std::string> predecessorChildKey(const std::string& key) const;
  std::optional<std::string> successorChildKey(const std::string& key) const;
  // Calls `visit(key, child)` in key order (or reverse) until it returns true; returns whether it
  // stopped early.
  template <class Visit>
  bool enumerateChildren(Visit&& visit, bool reverse = false) const;

  // The plain value: null for the empty node; a leaf's value; a map of child values, or an array
  // when every key is an integer key and the largest is below twice the number of children.
  // The export format keeps priorities (".value"/".priority") and never makes arrays.
  Value val(bool exportFormat = false) const;
  Value valForExport(bool exportFormat) const { return val(exportFormat); }

  // Base64 of the SHA-1 of the node's canonical text (docs/data-model.md); "" for the empty node.
  // The digest is computed once, then kept in the node.
  std::string dataHash() const;
  using Digest = std::array<uint8_t, 20>;

  // Same data: equal priorities and equal values (numbers compare exactly across int and double);
  // all empty nodes are equal.
  bool equals(const Node& other) const;
  friend bool operator==(const Node& a, const Node& b) { return a.equals(b); }

  // The export value as JSON text, for logs.
  std::string description() const;

  // Another reference to this node (which a NodePtr holds already).
  NodePtr shared_from_this() const { return NodePtr(this); }

 protected:
  Node() = default;
  // Writes the canonical text; the children's hashes are known by then.
  virtual void writeHashText(HashTextSink& sink) const = 0;
  virtual bool equalsSameKind(const Node& other) const = 0;

 private:
  friend class ChildrenNode;
  // Appends the data hash of this non-empty node (computing and keeping its digest when needed).
  void appendKeptHash(std::string& out) const;
  // The digest of a non-empty node, computed and kept when not yet kept.
  const Digest& keptDigest() const;
  // Ends the life of the node once its last holder has gone, and frees its memory.
  virtual void destroy() const { delete this; }

  friend class NodePtr;

  // Set once; most nodes are never hashed, so they only pay for the pointer.
  mutable std::atomic<const Digest*> digest_{nullptr};
  // The NodePtrs that hold this node, starting with the one its factory hands out.
  mutable std::atomic<uint64_t> refs_{1};
};

inline NodePtr::NodePtr(const Node* node) noexcept : node_(node) {
  if (node_) node_->refs_.fetch_add(1, std::memory_order_relaxed);
}

inline NodePtr::NodePtr(const NodePtr& other) noexcept : NodePtr(other.node_) {}

inline NodePtr::~NodePtr() {
  // The last holder sees every other holder's writes before it frees the node.
  if (node_ && node_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) node_->destroy();
}

// The array form's length (largest key + 1) when every key is an integer key (no leading "0"
// on keys of two or more characters) and the largest is below twice the number of children;
// none otherwise (and for no children).
std::optional<size_t> arrayLengthOf(const ChildMap& children);

// Null and same-data aware equality of two node pointers (null reads as the empty node).
bool nodesEqual(const NodePtr& a, const NodePtr& b);

// Leaves without a priority (most of them) have no room for one; LeafNode::create picks.
class LeafNode : public Node {
 protected:
  struct Passkey {};

 public:
  // A server value placeholder kept as written: a map holding ".sv".
  using Placeholder = std::shared_ptr<const Value>;
  using Data = std::variant<bool, int64_t, double, std::string, Placeholder>;

  // A leaf of the value with the priority (null or the empty node for none). Throws
  // dz::Exception "InvalidDezuvuraData" for a NaN or infinite double.
  static NodePtr create(Data&& value, NodePtr priority = nullptr);
  // A leaf of a plain value that is a bool, number, string or placeholder map; throws
  // "InvalidDezuvuraData" for anything else or a non-finite number.
  static NodePtr fromValue(const Value& value, NodePtr priority = nullptr);

  LeafNode(Passkey, Data&& value);

  const Data& value() const { return value_; }
  // The value as a plain value.
  Value plainValue() const;
  bool isPlaceholder() const { return std::holds_alternative<Placeholder>(value_); }

  bool isLeafNode() const final { return true; }
  bool isEmpty() const final { return false; }
  const NodePtr& getPriority() const override;
  NodePtr updatePriority(NodePtr priority) const final;
  NodePtr getImmediateChild(const std::string& key) const final;
  NodePtr updateImmediateChild(const std::string& key, NodePtr child) const final;
  NodePtr updateImmediateChild(const std::string& key, NodePtr child,
                               const NodePtr& oldChild) const final;
  const ChildMap& children() const final;

 protected:
  void writeHashText(HashTextSink& sink) const final;
  bool equalsSameKind(const Node& other) const final;

 private:
  static const NodePtr* sharedLeaf(const Data& value);
  // A leaf of the value and normalized priority (null for none), without the checks.
  static NodePtr make(Data&& value, NodePtr priority);

  Data value_;
};

// Value order of leaf values: false < true < numbers (exact across int64 and double) < strings
// (byte order) < placeholders (by their JSON text). Zero only for equal values.
int compareLeafData(const LeafNode::Data& a, const LeafNode::Data& b);

// Like leaves, children nodes without a priority have no room for one.
class ChildrenNode : public Node {
 protected:
  struct Passkey {};
  friend class EmptyNode;

 public:
  // A node of the children (empty children are dropped by the caller) and priority. No children
  // and no priority gives the shared empty node.
  static NodePtr create(ChildMap children, NodePtr priority = nullptr);
  // As create, of entries in ascending key order without repeated keys or empty children, which
  // are moved out (the vector keeps its storage). A node of a few children shares one
  // allocation with them.
  static NodePtr fromSortedEntries(std::vector<std::pair<std::string, NodePtr>>& entries,
                                   NodePtr priority = nullptr);
  // As fromSortedEntries, of the entries at the positions `order` lists in ascending key order;
  // only those are moved out.
  static NodePtr fromEntriesInOrder(std::vector<std::pair<std::string, NodePtr>>& entries,
                                    std::span<const uint32_t> order, NodePtr priority = nullptr);

  ChildrenNode(Passkey, ChildMap children);

  bool isLeafNode() const final { return false; }
  bool isEmpty() const final { return children_.isEmpty(); }
  const NodePtr& getPriority() const override;
  NodePtr updatePriority(NodePtr priority) const final;
  NodePtr getImmediateChild(const std::string& key) const final;
  NodePtr updateImmediateChild(const std::string& key, NodePtr child) const final;
  NodePtr updateImmediateChild(const std::string& key, NodePtr child,
                               const NodePtr& oldChild) const final;
  const ChildMap& children() const final { return children_; }

 protected:
  void writeHashText(HashTextSink& sink) const final;
  bool equalsSameKind(const Node& other) const final;

 private:
  // A node of the children and normalized priority (null for none), without the checks.
  static NodePtr make(ChildMap children, NodePtr priority);
  // fromSortedEntries of the `count` entries `entryAt(i)` hands out.
  template <class EntryAt>
  static NodePtr fromOrderedEntries(size_t count, EntryAt entryAt, NodePtr priority);
  void destroy() const final;

  ChildMap children_;
  // Placed in the room of its children's block, which frees it (fromSortedEntries).
  bool inBlock_ = false;
};

class EmptyNode {
 public:
  // The one shared children node without children and without priority.
  static const NodePtr& emptyNode();
};

template <class Visit>
bool Node::enumerateChildren(Visit&& visit, bool reverse) const {
  const ChildMap& map = children();
  if (reverse) {
    for (const auto& entry : map.reversed()) {
      if (visit(entry.key, entry.value)) return true;
    }
  } else {
    for (const auto& entry : map) {
      if (visit(entry.key, entry.value)) return true;
    }
  }
  return false;
}

}  // namespace dz::database
