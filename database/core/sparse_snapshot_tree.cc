#include "database/core/sparse_snapshot_tree.h"

namespace dz::database {

NodePtr SparseSnapshotTree::find(const Path& path) const {
  if (value_) return value_->getChild(path);
  if (path.isEmpty()) return nullptr;
  auto child = children_.find(path.front());
  return child == children_.end() ? nullptr : child->second->find(path.popFront());
}

void SparseSnapshotTree::remember(const Path& path, NodePtr node) {
  if (path.isEmpty()) {
    value_ = std::move(node);
    children_.clear();
    return;
  }
  if (value_) {
    value_ = value_->updateChild(path, std::move(node));
    return;
  }
  std::unique_ptr<SparseSnapshotTree>& child = children_[path.front()];
  if (!child) child = std::make_unique<SparseSnapshotTree>();
  child->remember(path.popFront(), std::move(node));
}

bool SparseSnapshotTree::forget(const Path& path) {
  if (path.isEmpty()) {
    value_.reset();
    children_.clear();
    return true;
  }
  if (value_) {
    if (value_->isLeafNode()) return false;
    NodePtr value = std::move(value_);
    value_.reset();
    for (const auto& entry : value->children()) remember(Path().child(entry.key), entry.value);
    return forget(path);
  }
  if (children_.empty()) return true;
  if (auto child = children_.find(path.front()); child != children_.end()) {
    if (child->second->forget(path.popFront())) children_.erase(child);
  }
  return children_.empty();
}

void SparseSnapshotTree::forEachTree(
    const Path& prefix, const std::function<void(const Path&, const NodePtr&)>& visit) const {
  if (value_) return visit(prefix, value_);
  for (const auto& [key, child] : children_) child->forEachTree(prefix.child(key), visit);
}

void SparseSnapshotTree::forEachChild(
    const std::function<void(const std::string&, const SparseSnapshotTree&)>& visit) const {
  for (const auto& [key, child] : children_) visit(key, *child);
}

}  // namespace dz::database
