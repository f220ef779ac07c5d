// Tree<T>: a mutable tree of optional values addressed by paths (the repository's transaction
// queues). A Tree is a handle to one location of a shared tree: subTree() makes handles on
// demand, and locations only hold storage while they have a value or children; setting no value
// on a location without children removes it and every ancestor left empty. Handles stay valid
// across every change (they name a location, not a storage cell). Like a pointer, a const handle
// still changes the tree it names.
//
// Not thread-safe: one tree belongs to one queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/snapshot/key_order.h"
#include "database/snapshot/path.h"

namespace dz::database {

template <class T>
class Tree {
 public:
  // A new, empty tree; the handle is its root.
  Tree() : root_(std::make_shared<TreeNode>()) {}

  // The handle of the location at `path` below this one.
  Tree subTree(const Path& path) const { return Tree(root_, path_.child(path)); }
  // The handle of the parent location; none at the root.
  std::optional<Tree> parent() const {
    std::optional<Path> parentPath = path_.parent();
    if (!parentPath) return std::nullopt;
    return Tree(root_, *parentPath);
  }

  const Path& path() const { return path_; }
  // The last key of the path; "" at the root.
  const std::string& name() const { return path_.back(); }

  // The value here; none when unset.
  const std::optional<T>& getValue() const {
    const TreeNode* node = find();
    return node ? node->value : none();
  }
  // Sets (or, with none, clears) the value here, removing locations left empty.
  void setValue(std::optional<T> value) const {
    if (value) {
      findOrCreate()->value = std::move(value);
      return;
    }
    std::vector<TreeNode*> chain = chainToHere();
    if (chain.size() != path_.size() + 1) return;  // nothing stored here
    chain.back()->value.reset();
    prune(chain);
  }

  bool hasChildren() const {
    const TreeNode* node = find();
    return node && !node->children.empty();
  }
  // No value here and nothing below.
  bool isEmpty() const {
    const TreeNode* node = find();
    return !node || (!node->value && node->children.empty());
  }

  // Calls `visit(child)` for every child in key order. `visit` must not add or remove children
  // of this location; forEachChildMutationSafe allows that.
  void forEachChild(const std::function<void(const Tree&)>& visit) const {
    const TreeNode* node = find();
    if (!node) return;
    for (const auto& entry : node->children) visit(Tree(root_, path_.child(entry.first)));
  }
  // As forEachChild over the children present at the call, whatever `visit` changes.
  void forEachChildMutationSafe(const std::function<void(const Tree&)>& visit) const {
    for (const std::string& key : childKeys()) visit(Tree(root_, path_.child(key)));
  }
  // Calls `visit` on every ancestor, nearest first up to the root (and first on this location
  // with includeSelf) until it returns true; returns whether it stopped early.
  bool forEachAncestor(const std::function<bool(const Tree&)>& visit,
                       bool includeSelf = false) const {
    std::optional<Tree> current = includeSelf ? std::optional<Tree>(*this) : parent();
    for (; current; current = current->parent()) {
      if (visit(*current)) return true;
    }
    return false;
  }
  // Calls `visit` on every location below this one, parents first (or children first), and on
  // this location too with includeSelf. Changes made by `visit` are safe.
  void forEachDescendant(const std::function<void(const Tree&)>& visit, bool includeSelf = false,
                         bool childrenFirst = false) const {
    if (includeSelf && !childrenFirst) visit(*this);
    forEachChildMutationSafe(
        [&](const Tree& child) { child.forEachDescendant(visit, true, childrenFirst); });
    if (includeSelf && childrenFirst) visit(*this);
  }

 private:
  struct TreeNode {
    std::map<std::string, std::unique_ptr<TreeNode>, KeyLess> children;
    std::optional<T> value;
  };

  Tree(std::shared_ptr<TreeNode> root, Path path)
      : root_(std::move(root)), path_(std::move(path)) {}

  static const std::optional<T>& none() {
    static const std::optional<T> empty;
    return empty;
  }

  const TreeNode* find() const {
    const TreeNode* node = root_.get();
    for (const std::string& key : path_.keys()) {
      auto it = node->children.find(key);
      if (it == node->children.end()) return nullptr;
      node = it->second.get();
    }
    return node;
  }

  TreeNode* findOrCreate() const {
    TreeNode* node = root_.get();
    for (const std::string& key : path_.keys()) {
      std::unique_ptr<TreeNode>& child = node->children[key];
      if (!child) child = std::make_unique<TreeNode>();
      node = child.get();
    }
    return node;
  }

  // The stored locations from the root towards this one (shorter when this one is not stored).
  std::vector<TreeNode*> chainToHere() const {
    std::vector<TreeNode*> chain{root_.get()};
    for (const std::string& key : path_.keys()) {
      auto it = chain.back()->children.find(key);
      if (it == chain.back()->children.end()) break;
      chain.push_back(it->second.get());
    }
    return chain;
  }

  void prune(const std::vector<TreeNode*>& chain) const {
    for (size_t depth = chain.size() - 1; depth > 0; --depth) {
      TreeNode* node = chain[depth];
      if (node->value || !node->children.empty()) return;
      chain[depth - 1]->children.erase(path_[depth - 1]);
    }
  }

  std::vector<std::string> childKeys() const {
    std::vector<std::string> keys;
    if (const TreeNode* node = find()) {
      for (const auto& entry : node->children) keys.push_back(entry.first);
    }
    return keys;
  }

  std::shared_ptr<TreeNode> root_;
  Path path_;
};

}  // namespace dz::database
