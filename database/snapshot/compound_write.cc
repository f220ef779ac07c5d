#include "database/snapshot/compound_write.h"

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

Path keysBetween(const Path& path, size_t begin, size_t end) {
  std::span<const std::string> keys = path.keys();
  return Path(std::vector<std::string>(keys.begin() + begin, keys.begin() + end));
}

}  // namespace

const CompoundWrite::TreePtr& CompoundWrite::emptyTree() {
  static const TreePtr* empty = new TreePtr(std::make_shared<const TreeNode>());
  return *empty;
}

CompoundWrite::CompoundWrite() : root_(emptyTree()) {}

CompoundWrite CompoundWrite::compoundWriteWithValueDictionary(const Value::Map& values) {
  CompoundWrite write;
  for (const auto& [pathString, value] : values) {
    write = write.addWrite(Path(pathString), SnapshotUtilities::nodeFrom(value));
  }
  return write;
}

CompoundWrite::TreePtr CompoundWrite::setTree(const TreePtr& tree, const Path& path, size_t index,
                                              TreePtr subtree) {
  if (index == path.size()) {
    bool empty = !subtree->value && subtree->children.isEmpty();
    return empty ? emptyTree() : subtree;
  }
  const std::string& key = path[index];
  const TreePtr* existing = tree->children.find(key);
  TreePtr child = setTree(existing ? *existing : emptyTree(), path, index + 1, std::move(subtree));
  auto updated = std::make_shared<TreeNode>();
  updated->value = tree->value;
  bool childEmpty = !child->value && child->children.isEmpty();
  updated->children = childEmpty ? tree->children.remove(key) : tree->children.insert(key, child);
  if (!updated->value && updated->children.isEmpty()) return emptyTree();
  return updated;
}

CompoundWrite CompoundWrite::addWrite(const Path& path, NodePtr node) const {
  if (!node) node = EmptyNode::emptyNode();
  // A write above `path` absorbs the new one.
  const TreeNode* tree = root_.get();
  for (size_t depth = 0;; ++depth) {
    if (tree->value) {
      NodePtr merged = tree->value->updateChild(keysBetween(path, depth, path.size()), node);
      auto replaced = std::make_shared<TreeNode>();
      replaced->value = std::move(merged);
      return CompoundWrite(setTree(root_, keysBetween(path, 0, depth), 0, std::move(replaced)));
    }
    if (depth == path.size()) break;
    const TreePtr* child = tree->children.find(path[depth]);
    if (!child) break;
    tree = child->get();
  }
  auto written = std::make_shared<TreeNode>();
  written->value = std::move(node);
  return CompoundWrite(setTree(root_, path, 0, std::move(written)));
}

CompoundWrite CompoundWrite::addWrites(const Path& path, const CompoundWrite& updates) const {
  CompoundWrite result = *this;
  updates.enumerateWrites([&](const Path& relative, const NodePtr& node) {
    result = result.addWrite(path.child(relative), node);
    return false;
  });
  return result;
}

CompoundWrite CompoundWrite::removeWrite(const Path& path) const {
  if (path.isEmpty()) return CompoundWrite();
  return CompoundWrite(setTree(root_, path, 0, emptyTree()));
}

bool CompoundWrite::isEmpty() const { return !root_->value && root_->children.isEmpty(); }

NodePtr CompoundWrite::rootWrite() const { return root_->value; }

NodePtr CompoundWrite::completeNode(const Path& path) const {
  const TreeNode* tree = root_.get();
  for (size_t depth = 0;; ++depth) {
    if (tree->value) return tree->value->getChild(keysBetween(path, depth, path.size()));
    if (depth == path.size()) return nullptr;
    const TreePtr* child = tree->children.find(path[depth]);
    if (!child) return nullptr;
    tree = child->get();
  }
}

std::vector<NamedNode> CompoundWrite::completeChildren() const {
  std::vector<NamedNode> children;
  if (root_->value) {
    for (const auto& entry : root_->value->children())
      children.emplace_back(entry.key, entry.value);
    return children;
  }
  for (const auto& entry : root_->children) {
    if (entry.value->value) children.emplace_back(entry.key, entry.value->value);
  }
  return children;
}

const CompoundWrite::TreeNode* CompoundWrite::subtree(const Path& path) const {
  const TreeNode* tree = root_.get();
  for (const std::string& key : path.keys()) {
    const TreePtr* child = tree->children.find(key);
    if (!child) return nullptr;
    tree = child->get();
  }
  return tree;
}

CompoundWrite CompoundWrite::childCompoundWrite(const Path& path) const {
  if (path.isEmpty()) return *this;
  if (NodePtr shadowing = completeNode(path)) {
    auto tree = std::make_shared<TreeNode>();
    tree->value = std::move(shadowing);
    return CompoundWrite(std::move(tree));
  }
  // Walk again holding owners, so the result shares the subtree.
  TreePtr tree = root_;
  for (const std::string& key : path.keys()) {
    const TreePtr* child = tree->children.find(key);
    if (!child) return CompoundWrite();
    tree = *child;
  }
  return CompoundWrite(std::move(tree));
}

std::vector<std::pair<std::string, CompoundWrite>> CompoundWrite::childCompoundWrites() const {
  std::vector<std::pair<std::string, CompoundWrite>> writes;
  for (const auto& entry : root_->children)
    writes.emplace_back(entry.key, CompoundWrite(entry.value));
  return writes;
}

NodePtr CompoundWrite::applySubtree(const Path& relativePath, const TreeNode& tree, NodePtr node) {
  if (tree.value) return node->updateChild(relativePath, tree.value);
  // The writes are one change: the node keeps its priority, or takes the one written, even when
  // its children empty it on the way to new ones.
  NodePtr priority = node->getChild(relativePath)->getPriority();
  for (const auto& entry : tree.children) {
    if (entry.key == kPriorityKey) {
      if (entry.value->value) priority = entry.value->value;
    } else {
      node = applySubtree(relativePath.child(entry.key), *entry.value, std::move(node));
    }
  }
  // A priority alone would make data out of nothing.
  NodePtr after = node->getChild(relativePath);
  if (!after->isEmpty() && !nodesEqual(after->getPriority(), priority)) {
    node = node->updateChild(relativePath.child(kPriorityKey), priority);
  }
  return node;
}

NodePtr CompoundWrite::apply(const NodePtr& node) const {
  return applySubtree(Path(), *root_, node ? node : EmptyNode::emptyNode());
}

Value CompoundWrite::valForExport(bool exportFormat) const {
  Value::Map map;
  enumerateWrites([&](const Path& path, const NodePtr& node) {
    map.insert_or_assign(path.wireFormat(), node->val(exportFormat));
    return false;
  });
  return Value(std::move(map));
}

bool operator==(const CompoundWrite& a, const CompoundWrite& b) {
  if (a.root_ == b.root_) return true;
  std::vector<std::pair<Path, NodePtr>> writesA;
  std::vector<std::pair<Path, NodePtr>> writesB;
  auto collect = [](std::vector<std::pair<Path, NodePtr>>& into) {
    return [&into](const Path& path, const NodePtr& node) {
      into.emplace_back(path, node);
      return false;
    };
  };
  a.enumerateWrites(collect(writesA));
  b.enumerateWrites(collect(writesB));
  if (writesA.size() != writesB.size()) return false;
  for (size_t i = 0; i < writesA.size(); ++i) {
    if (!(writesA[i].first == writesB[i].first) ||
        !nodesEqual(writesA[i].second, writesB[i].second)) {
      return false;
    }
  }
  return true;
}

}  // namespace dz::database
