#include "database/snapshot/index.h"

#include <functional>

#include "database/snapshot/key_order.h"
#include "database/utilities/utilities.h"
#include "platform/exception.h"

namespace dz::database {
namespace {

constexpr std::string_view kPriorityDefinition = ".priority";
constexpr std::string_view kKeyDefinition = ".key";
constexpr std::string_view kValueDefinition = ".value";
constexpr char kEmptyPathIndex[] = "A path index needs a non-empty path";

// A node that sorts after every index value; recognised by identity.
const NodePtr& maxValueSentinel() {
  static const NodePtr* sentinel =
      new NodePtr(ChildrenNode::create(ChildMap().insert(maxName(), LeafNode::create(maxName()))));
  return *sentinel;
}

int rankInValueOrder(const Node& node) {
  if (&node == maxValueSentinel().get()) return 3;
  if (node.isEmpty()) return 0;
  return node.isLeafNode() ? 1 : 2;
}

// The node at `path` below `node`, or the empty node. Takes no reference: every node it passes
// lives as long as `node`, and comparisons run often enough for the counting to show.
const Node& descendant(const Node& node, const Path& path) {
  const Node* current = &node;
  for (const std::string& key : path.keys()) {
    if (key == kPriorityKey) {
      current = current->getPriority().get();
    } else {
      const NodePtr* child = current->children().find(key);
      if (!child) return *EmptyNode::emptyNode();
      current = child->get();
    }
    if (current->isEmpty()) return *current;
  }
  return *current;
}

}  // namespace

int Index::compareIndexed(const Node& valueA, std::string_view nameA, const Node& valueB,
                          std::string_view nameB) {
  const int compared = compareValueOrder(valueA, valueB);
  return compared != 0 ? compared : compareKeys(nameA, nameB);
}

int compareValueOrder(const Node& a, const Node& b) {
  if (&a == &b) return 0;
  int rankA = rankInValueOrder(a);
  int rankB = rankInValueOrder(b);
  if (rankA != rankB) return rankA < rankB ? -1 : 1;
  if (rankA != 1) return 0;
  return compareLeafData(static_cast<const LeafNode&>(a).value(),
                         static_cast<const LeafNode&>(b).value());
}

NamedNode Index::minPost() const { return NamedNode(minName(), EmptyNode::emptyNode()); }

IndexPtr Index::fromQueryDefinition(std::string_view definition) {
  if (definition == kPriorityDefinition) return PriorityIndex::priorityIndex();
  if (definition == kKeyDefinition) return KeyIndex::keyIndex();
  if (definition == kValueDefinition) return ValueIndex::valueIndex();
  Path path(definition);
  if (path.isEmpty()) return nullptr;
  return PathIndex::create(std::move(path));
}

size_t Index::hash() const { return std::hash<std::string>()(queryDefinition()); }

bool indexesEqual(const IndexPtr& a, const IndexPtr& b) {
  if (a.get() == b.get()) return true;
  if (!a || !b) return false;
  return a->equals(*b);
}

// ---- PriorityIndex

const IndexPtr& PriorityIndex::priorityIndex() {
  static const IndexPtr* index = new IndexPtr(std::make_shared<const PriorityIndex>());
  return *index;
}

int PriorityIndex::compare(const NamedNode& a, const NamedNode& b) const {
  return compareIndexed(*a.node->getPriority(), a.name, *b.node->getPriority(), b.name);
}

const Node& PriorityIndex::indexedValue(const Node& node) const { return *node.getPriority(); }

bool PriorityIndex::isDefinedOn(const Node& node) const { return !node.getPriority()->isEmpty(); }

bool PriorityIndex::indexedValueChanged(const Node& oldNode, const Node& newNode) const {
  return !oldNode.getPriority()->equals(*newNode.getPriority());
}

NamedNode PriorityIndex::maxPost() const {
  return NamedNode(maxName(), EmptyNode::emptyNode()->updatePriority(maxValueSentinel()));
}

NamedNode PriorityIndex::makePost(const NodePtr& indexValue, const std::string& name) const {
  return NamedNode(name, EmptyNode::emptyNode()->updatePriority(indexValue));
}

std::string PriorityIndex::queryDefinition() const { return std::string(kPriorityDefinition); }

bool PriorityIndex::equals(const Index& other) const {
  return dynamic_cast<const PriorityIndex*>(&other) != nullptr;
}

// ---- KeyIndex

const IndexPtr& KeyIndex::keyIndex() {
  static const IndexPtr* index = new IndexPtr(std::make_shared<const KeyIndex>());
  return *index;
}

int KeyIndex::compare(const NamedNode& a, const NamedNode& b) const {
  return compareKeys(a.name, b.name);
}

const Node& KeyIndex::indexedValue(const Node&) const { return *EmptyNode::emptyNode(); }

bool KeyIndex::isDefinedOn(const Node&) const { return true; }

bool KeyIndex::indexedValueChanged(const Node&, const Node&) const { return false; }

NamedNode KeyIndex::maxPost() const { return NamedNode(maxName(), EmptyNode::emptyNode()); }

NamedNode KeyIndex::makePost(const NodePtr& indexValue, const std::string& name) const {
  // The bound's value is the key; a value that is not a string leaves the given name.
  if (indexValue && indexValue->isLeafNode()) {
    const auto& data = static_cast<const LeafNode&>(*indexValue).value();
    if (const auto* key = std::get_if<std::string>(&data)) {
      return NamedNode(*key, EmptyNode::emptyNode());
    }
  }
  return NamedNode(name, EmptyNode::emptyNode());
}

std::string KeyIndex::queryDefinition() const { return std::string(kKeyDefinition); }

bool KeyIndex::equals(const Index& other) const {
  return dynamic_cast<const KeyIndex*>(&other) != nullptr;
}

// ---- ValueIndex

const IndexPtr& ValueIndex::valueIndex() {
  static const IndexPtr* index = new IndexPtr(std::make_shared<const ValueIndex>());
  return *index;
}

int ValueIndex::compare(const NamedNode& a, const NamedNode& b) const {
  return compareIndexed(*a.node, a.name, *b.node, b.name);
}

const Node& ValueIndex::indexedValue(const Node& node) const { return node; }

bool ValueIndex::isDefinedOn(const Node&) const { return true; }

bool ValueIndex::indexedValueChanged(const Node& oldNode, const Node& newNode) const {
  return !oldNode.equals(newNode);
}

NamedNode ValueIndex::maxPost() const { return NamedNode(maxName(), maxValueSentinel()); }

NamedNode ValueIndex::makePost(const NodePtr& indexValue, const std::string& name) const {
  return NamedNode(name, indexValue);
}

std::string ValueIndex::queryDefinition() const { return std::string(kValueDefinition); }

bool ValueIndex::equals(const Index& other) const {
  return dynamic_cast<const ValueIndex*>(&other) != nullptr;
}

// ---- PathIndex

PathIndex::PathIndex(Path path) : path_(std::move(path)) {
  if (path_.isEmpty()) throw Exception(kInvalidArgumentException, kEmptyPathIndex);
}

int PathIndex::compare(const NamedNode& a, const NamedNode& b) const {
  return compareIndexed(descendant(*a.node, path_), a.name, descendant(*b.node, path_), b.name);
}

const Node& PathIndex::indexedValue(const Node& node) const { return descendant(node, path_); }

bool PathIndex::isDefinedOn(const Node& node) const { return !descendant(node, path_).isEmpty(); }

bool PathIndex::indexedValueChanged(const Node& oldNode, const Node& newNode) const {
  return !descendant(oldNode, path_).equals(descendant(newNode, path_));
}

NamedNode PathIndex::maxPost() const {
  return NamedNode(maxName(), EmptyNode::emptyNode()->updateChild(path_, maxValueSentinel()));
}

NamedNode PathIndex::makePost(const NodePtr& indexValue, const std::string& name) const {
  return NamedNode(name, EmptyNode::emptyNode()->updateChild(path_, indexValue));
}

std::string PathIndex::queryDefinition() const { return path_.wireFormat(); }

bool PathIndex::equals(const Index& other) const {
  const auto* path = dynamic_cast<const PathIndex*>(&other);
  return path && path->path_ == path_;
}

}  // namespace dz::database
