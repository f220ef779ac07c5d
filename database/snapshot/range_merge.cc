#include "database/snapshot/range_merge.h"

#include <set>

#include "database/snapshot/key_order.h"

namespace dz::database {

int comparePaths(const Path& a, const Path& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int c = compareKeys(a[i], b[i]);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

NodePtr RangeMerge::applyTo(const NodePtr& node) const {
  return updateRangeInNode(Path(), node ? node : EmptyNode::emptyNode(), updates_);
}

NodePtr RangeMerge::updateRangeInNode(const Path& currentPath, const NodePtr& node,
                                      const NodePtr& updates) const {
  int startComparison = start_ ? comparePaths(currentPath, *start_) : 1;
  int endComparison = end_ ? comparePaths(currentPath, *end_) : -1;
  bool startInNode = start_ && currentPath.contains(*start_);
  bool endInNode = end_ && currentPath.contains(*end_);
  if (startComparison > 0 && endComparison < 0 && !endInNode) {
    return updates;  // wholly inside the range
  }
  if (startComparison > 0 && endInNode && updates->isLeafNode()) return updates;
  if (startComparison > 0 && endComparison == 0) {
    // The end itself, with children updates: a leaf here is replaced, children stay.
    return node->isLeafNode() ? EmptyNode::emptyNode() : node;
  }
  if (startInNode || endInNode) {
    std::set<std::string, KeyLess> keys;
    for (const auto& entry : node->children()) keys.insert(entry.key);
    for (const auto& entry : updates->children()) keys.insert(entry.key);
    // A leaf's own value sits at its path: inside the range when the range starts before it.
    NodePtr newNode = node->isLeafNode() && startComparison > 0 ? EmptyNode::emptyNode() : node;
    auto update = [&](const std::string& key) {
      NodePtr currentChild = node->getImmediateChild(key);
      NodePtr updatedChild =
          updateRangeInNode(currentPath.child(key), currentChild, updates->getImmediateChild(key));
      // Against the node as built so far: removing its last child drops its priority.
      if (updatedChild.get() != newNode->getImmediateChild(key).get()) {
        newNode = newNode->updateImmediateChild(key, updatedChild);
      }
    };
    for (const auto& key : keys) update(key);
    // The priority last, and only on a node that keeps data: one set on an empty node would come
    // back with the first child the node later takes.
    if (!newNode->isEmpty() &&
        (!updates->getPriority()->isEmpty() || !node->getPriority()->isEmpty())) {
      update(kPriorityKey);
    }
    return newNode;
  }
  return node;  // outside the range
}

}  // namespace dz::database
