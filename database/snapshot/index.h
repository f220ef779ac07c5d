// Indexes: the orders that queries sort and bound children by. Each is a strict total order over
// the named children of one node: it compares an index value first and breaks ties by key order,
// so two different keys never compare equal. The shared instances (priority, key, value) and path
// indexes are immutable and may be used from any thread; compare indexes with equals(), not by
// address. docs/data-model.md writes the orders down.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "database/snapshot/named_node.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class Index;
using IndexPtr = std::shared_ptr<const Index>;

// Value order of index values: null (the empty node) < false < true < numbers (exact across int64
// and double) < strings (byte order) < server value placeholders < children nodes (all equal to
// one another) < the max sentinel of maxPost(). Zero for equal index values.
int compareValueOrder(const Node& a, const Node& b);

class Index {
 public:
  virtual ~Index() = default;

  // Negative, zero or positive as `a` sorts before, with or after `b`; zero only for equal names.
  virtual int compare(const NamedNode& a, const NamedNode& b) const = 0;
  // What a child sorts by before its key: its priority, itself, the value at the path (the empty
  // node for the key index). Lives as long as `node`. compare(a, b) is compareIndexed of the two
  // children's values and names, so a caller comparing one child with many finds its value once.
  virtual const Node& indexedValue(const Node& node) const = 0;
  static int compareIndexed(const Node& valueA, std::string_view nameA, const Node& valueB,
                            std::string_view nameB);
  bool less(const NamedNode& a, const NamedNode& b) const { return compare(a, b) < 0; }
  // Whether the node carries a value this index sorts by (children without one sort first).
  virtual bool isDefinedOn(const Node& node) const = 0;
  // Whether a child's change from `oldNode` to `newNode` may move it in this order.
  virtual bool indexedValueChanged(const Node& oldNode, const Node& newNode) const = 0;

  // Posts: named nodes that sort before / after every child, and the post of a query bound.
  NamedNode minPost() const;
  virtual NamedNode maxPost() const = 0;
  virtual NamedNode makePost(const NodePtr& indexValue, const std::string& name) const = 0;

  // ".priority", ".key", ".value", or the child path in wire form ("a/b"). Sent as the query's
  // "i" and in ".indexOn" advice.
  virtual std::string queryDefinition() const = 0;
  // The index a definition names; a definition that is none of the three above is a child path.
  // Null for "" and "/", which name no index.
  static IndexPtr fromQueryDefinition(std::string_view definition);

  virtual bool equals(const Index& other) const = 0;
  friend bool operator==(const Index& a, const Index& b) { return a.equals(b); }
  size_t hash() const;
  std::string description() const { return queryDefinition(); }
};

bool indexesEqual(const IndexPtr& a, const IndexPtr& b);

// Orders by priority: none first, then numbers, then strings.
class PriorityIndex final : public Index {
 public:
  static const IndexPtr& priorityIndex();

  int compare(const NamedNode& a, const NamedNode& b) const override;
  const Node& indexedValue(const Node& node) const override;
  bool isDefinedOn(const Node& node) const override;
  bool indexedValueChanged(const Node& oldNode, const Node& newNode) const override;
  NamedNode maxPost() const override;
  NamedNode makePost(const NodePtr& indexValue, const std::string& name) const override;
  std::string queryDefinition() const override;
  bool equals(const Index& other) const override;
};

// Orders by key alone; a bound's index value is the key (a string leaf).
class KeyIndex final : public Index {
 public:
  static const IndexPtr& keyIndex();

  int compare(const NamedNode& a, const NamedNode& b) const override;
  const Node& indexedValue(const Node& node) const override;
  bool isDefinedOn(const Node& node) const override;
  bool indexedValueChanged(const Node& oldNode, const Node& newNode) const override;
  NamedNode maxPost() const override;
  NamedNode makePost(const NodePtr& indexValue, const std::string& name) const override;
  std::string queryDefinition() const override;
  bool equals(const Index& other) const override;
};

// Orders by the child's own value.
class ValueIndex final : public Index {
 public:
  static const IndexPtr& valueIndex();

  int compare(const NamedNode& a, const NamedNode& b) const override;
  const Node& indexedValue(const Node& node) const override;
  bool isDefinedOn(const Node& node) const override;
  bool indexedValueChanged(const Node& oldNode, const Node& newNode) const override;
  NamedNode maxPost() const override;
  NamedNode makePost(const NodePtr& indexValue, const std::string& name) const override;
  std::string queryDefinition() const override;
  bool equals(const Index& other) const override;
};

// Orders by the value at a path below each child. The path must not be empty (throws
// dz::Exception "NSInvalidArgumentException"; the value index orders by the child itself).
class PathIndex final : public Index {
 public:
  explicit PathIndex(Path path);
  static IndexPtr create(Path path) { return std::make_shared<const PathIndex>(std::move(path)); }

  const Path& path() const { return path_; }

  int compare(const NamedNode& a, const NamedNode& b) const override;
  const Node& indexedValue(const Node& node) const override;
  bool isDefinedOn(const Node& node) const override;
  bool indexedValueChanged(const Node& oldNode, const Node& newNode) const override;
  NamedNode maxPost() const override;
  NamedNode makePost(const NodePtr& indexValue, const std::string& name) const override;
  std::string queryDefinition() const override;
  bool equals(const Index& other) const override;

 private:
  Path path_;
};

// An index as a stateful comparator of named nodes (for SortedMap and std::sort).
struct IndexCompare {
  IndexPtr index;
  int operator()(const NamedNode& a, const NamedNode& b) const { return index->compare(a, b); }
};

}  // namespace dz::database
