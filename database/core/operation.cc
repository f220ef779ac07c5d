#include "database/core/operation.h"

namespace dz::database {

AffectedTreePtr AffectedTree::root() {
  auto tree = std::make_shared<AffectedTree>();
  tree->value_ = true;
  return tree;
}

AffectedTreePtr AffectedTree::subtree(const std::string& key) const {
  auto it = children_.find(key);
  if (it != children_.end()) return it->second;
  // Never destroyed: a work queue may still acknowledge a write while the process exits.
  static const AffectedTreePtr* empty = new AffectedTreePtr(std::make_shared<AffectedTree>());
  return *empty;
}

AffectedTreePtr AffectedTree::set(const Path& path) const {
  auto copy = std::make_shared<AffectedTree>(*this);
  if (path.isEmpty()) {
    copy->value_ = true;
  } else {
    copy->children_[path.front()] = subtree(path.front())->set(path.popFront());
  }
  return copy;
}

void AffectedTree::forEach(const std::function<void(const Path&)>& visit,
                           const Path& prefix) const {
  if (value_) visit(prefix);
  for (const auto& [key, child] : children_) child->forEach(visit, prefix.child(key));
}

Operation Operation::overwrite(OperationSource source, Path path, NodePtr snap) {
  Operation op(Type::Overwrite, std::move(source), std::move(path));
  op.snap_ = std::move(snap);
  return op;
}

Operation Operation::merge(OperationSource source, Path path, CompoundWrite children) {
  Operation op(Type::Merge, std::move(source), std::move(path));
  op.children_ = std::move(children);
  return op;
}

Operation Operation::ackUserWrite(Path path, AffectedTreePtr affectedTree, bool revert) {
  Operation op(Type::AckUserWrite, OperationSource::user(), std::move(path));
  op.affectedTree_ = std::move(affectedTree);
  op.revert_ = revert;
  return op;
}

Operation Operation::listenComplete(OperationSource source, Path path) {
  return Operation(Type::ListenComplete, std::move(source), std::move(path));
}

std::optional<Operation> Operation::operationForChild(const std::string& key) const {
  switch (type_) {
    case Type::Overwrite:
      if (path_.isEmpty()) return overwrite(source_, Path(), snap_->getImmediateChild(key));
      return overwrite(source_, path_.popFront(), snap_);
    case Type::Merge: {
      if (!path_.isEmpty()) {
        if (path_.front() != key) return std::nullopt;
        return merge(source_, path_.popFront(), children_);
      }
      CompoundWrite childTree = children_.childCompoundWrite(Path(std::vector<std::string>{key}));
      if (childTree.isEmpty()) return std::nullopt;
      if (NodePtr root = childTree.rootWrite()) return overwrite(source_, Path(), root);
      return merge(source_, Path(), childTree);
    }
    case Type::AckUserWrite:
      if (!path_.isEmpty()) {
        if (path_.front() != key) return std::nullopt;
        return ackUserWrite(path_.popFront(), affectedTree_, revert_);
      }
      if (affectedTree_->value()) return *this;
      return ackUserWrite(Path(), affectedTree_->subtree(key), revert_);
    case Type::ListenComplete:
      if (path_.isEmpty()) return listenComplete(source_, Path());
      return listenComplete(source_, path_.popFront());
  }
  return std::nullopt;
}

}  // namespace dz::database
