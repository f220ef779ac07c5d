#include "database/core/view/node_filter.h"

namespace dz::database {

const NoCompleteChildSource& NoCompleteChildSource::instance() {
  static const NoCompleteChildSource source;
  return source;
}

// ---- IndexedFilter ----

namespace {

// Whether the two nodes agree at `path` and on the priorities of the nodes above it: a change
// there may empty them on the way, and they come back without their priorities.
bool alikeAt(NodePtr a, NodePtr b, const Path& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (!a->getPriority()->equals(*b->getPriority())) return false;
    a = a->getImmediateChild(path[i]);
    b = b->getImmediateChild(path[i]);
  }
  return a->equals(*b);
}

}  // namespace

IndexedNode IndexedFilter::updateChildFrom(const IndexedNode& snap, const std::string& key,
                                           const NodePtr& oldChild, NodePtr newChild,
                                           const Path& affectedPath, const CompleteChildSource&,
                                           ChildChangeAccumulator* accumulator) const {
  return updateChildTo(snap, key, oldChild, std::move(newChild), affectedPath, nullptr,
                       accumulator);
}

IndexedNode IndexedFilter::updateChildTo(const IndexedNode& snap, const std::string& key,
                                         const NodePtr& oldChild, NodePtr newChild,
                                         const Path& affectedPath, NodePtr updated,
                                         ChildChangeAccumulator* accumulator) const {
  const NodePtr& node = snap.node();
  // A child that enters or leaves looks alike at an affected path that is empty in both.
  if (alikeAt(oldChild, newChild, affectedPath) && oldChild->isEmpty() == newChild->isEmpty()) {
    return snap;
  }
  if (accumulator) {
    if (newChild->isEmpty()) {
      if (!oldChild->isEmpty()) accumulator->trackChildChange(Change::childRemoved(key, oldChild));
    } else if (oldChild->isEmpty()) {
      accumulator->trackChildChange(Change::childAdded(key, newChild));
    } else {
      accumulator->trackChildChange(Change::childChanged(key, newChild, oldChild));
    }
  }
  if (node->isLeafNode() && newChild->isEmpty()) return snap;
  IndexedNode indexed = snap.withIndex(index_);
  if (updated) return indexed.updateChild(key, std::move(newChild), oldChild, std::move(updated));
  return indexed.updateChild(key, std::move(newChild), oldChild);
}

IndexedNode IndexedFilter::updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                                          ChildChangeAccumulator* accumulator) const {
  if (accumulator && accumulator->recordsChanges()) {
    const NodePtr& oldNode = oldSnap.node();
    const NodePtr& newNode = newSnap.node();
    if (oldNode.get() != newNode.get()) {
      // Each child appears once: removed ones are only in the old node, the rest in the new.
      std::vector<Change> changes;
      if (!oldNode->isEmpty()) {
        for (const auto& entry : oldNode->children()) {
          if (!newNode->hasChild(entry.key)) {
            changes.push_back(Change::childRemoved(entry.key, entry.value));
          }
        }
      }
      changes.reserve(changes.size() + newNode->numChildren());
      for (const auto& entry : newNode->children()) {
        NodePtr oldChild = oldNode->getImmediateChild(entry.key);
        if (oldChild->isEmpty()) {
          changes.push_back(Change::childAdded(entry.key, entry.value));
        } else if (oldChild.get() != entry.value.get() && !oldChild->equals(*entry.value)) {
          changes.push_back(Change::childChanged(entry.key, entry.value, oldChild));
        }
      }
      accumulator->trackDistinctChildChanges(std::move(changes));
    }
  }
  return newSnap.withIndex(index_);
}

IndexedNode IndexedFilter::updatePriority(const IndexedNode& oldSnap, NodePtr newPriority) const {
  if (oldSnap.node()->isEmpty()) return IndexedNode(EmptyNode::emptyNode(), index_);
  return oldSnap.updatePriority(std::move(newPriority));
}

// ---- RangedFilter ----

RangedFilter::RangedFilter(const QueryParams& params)
    : indexedFilter_(params.index()),
      index_(params.index()),
      startPost_(params.startPost()),
      endPost_(params.endPost()) {}

bool RangedFilter::matches(const NamedNode& node) const {
  return index_->compare(startPost_, node) <= 0 && index_->compare(node, endPost_) <= 0;
}

IndexedNode RangedFilter::updateChildFrom(const IndexedNode& snap, const std::string& key,
                                          const NodePtr& oldChild, NodePtr newChild,
                                          const Path& affectedPath,
                                          const CompleteChildSource& source,
                                          ChildChangeAccumulator* accumulator) const {
  if (!matches(NamedNode(key, newChild))) newChild = EmptyNode::emptyNode();
  return indexedFilter_.updateChildFrom(snap, key, oldChild, std::move(newChild), affectedPath,
                                        source, accumulator);
}

IndexedNode RangedFilter::updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                                         ChildChangeAccumulator* accumulator) const {
  NodePtr filtered = newSnap.node();
  if (filtered->isLeafNode()) filtered = EmptyNode::emptyNode();
  // Queries carry no priorities.
  filtered = filtered->updatePriority(EmptyNode::emptyNode());
  NodePtr result = filtered;
  for (const auto& entry : filtered->children()) {
    if (!matches(NamedNode(entry.key, entry.value))) {
      result = result->updateImmediateChild(entry.key, EmptyNode::emptyNode());
    }
  }
  return indexedFilter_.updateFullNode(oldSnap, IndexedNode(result, index_), accumulator);
}

IndexedNode RangedFilter::updatePriority(const IndexedNode& oldSnap, NodePtr) const {
  return oldSnap;
}

// ---- LimitedFilter ----

LimitedFilter::LimitedFilter(const QueryParams& params)
    : rangedFilter_(params),
      index_(params.index()),
      limit_(static_cast<size_t>(params.limit())),
      reverse_(!params.isViewFromLeft()) {}

int LimitedFilter::compare(const NamedNode& a, const NamedNode& b) const {
  return reverse_ ? index_->compare(b, a) : index_->compare(a, b);
}

IndexedNode LimitedFilter::updateChildFrom(const IndexedNode& snap, const std::string& key,
                                           const NodePtr& oldChild, NodePtr newChild,
                                           const Path& affectedPath,
                                           const CompleteChildSource& source,
                                           ChildChangeAccumulator* accumulator) const {
  if (!rangedFilter_.matches(NamedNode(key, newChild))) newChild = EmptyNode::emptyNode();
  if (oldChild->equals(*newChild)) return snap;
  // A window of no children stays empty: nothing below would take its place.
  if (limit_ == 0) return snap;
  if (snap.node()->numChildren() < limit_) {
    return rangedFilter_.indexedFilter().updateChildFrom(snap, key, oldChild, std::move(newChild),
                                                         affectedPath, source, accumulator);
  }
  return fullLimitUpdateChild(snap, key, oldChild, std::move(newChild), source, accumulator);
}

IndexedNode LimitedFilter::fullLimitUpdateChild(const IndexedNode& snap, const std::string& key,
                                                const NodePtr& oldChildSnap, NodePtr childSnap,
                                                const CompleteChildSource& source,
                                                ChildChangeAccumulator* accumulator) const {
  const IndexedNode oldEventCache = snap.withIndex(index_);
  NamedNode newChild(key, childSnap);
  std::optional<NamedNode> boundary =
      reverse_ ? oldEventCache.firstChild() : oldEventCache.lastChild();
  if (!boundary) {
    return rangedFilter_.indexedFilter().updateChildFrom(
        snap, key, oldChildSnap, std::move(childSnap), Path(), source, accumulator);
  }
  const NamedNode windowBoundary = *boundary;
  bool inRange = rangedFilter_.matches(newChild);
  const NodePtr& oldNode = oldEventCache.node();
  if (!oldChildSnap->isEmpty()) {
    bool remainsInWindow = inRange && !childSnap->isEmpty();
    std::optional<NamedNode> nextChild;
    // A child still at or before the boundary remains whatever follows the window.
    if (!remainsInWindow || compare(newChild, windowBoundary) > 0) {
      nextChild = source.childAfterChild(*index_, windowBoundary, reverse_);
      // A child changed by a merge may already sit in the write tree's data but not yet in this
      // window; it is handled when its own update arrives.
      while (nextChild && (nextChild->name == key || oldNode->hasChild(nextChild->name))) {
        nextChild = source.childAfterChild(*index_, *nextChild, reverse_);
      }
      remainsInWindow = remainsInWindow && (!nextChild || compare(*nextChild, newChild) >= 0);
    }
    if (remainsInWindow) {
      if (accumulator) {
        accumulator->trackChildChange(Change::childChanged(key, childSnap, oldChildSnap));
      }
      return oldEventCache.updateChild(key, childSnap, oldChildSnap);
    }
    if (accumulator) accumulator->trackChildChange(Change::childRemoved(key, oldChildSnap));
    IndexedNode newEventCache =
        oldEventCache.updateChild(key, EmptyNode::emptyNode(), oldChildSnap);
    if (nextChild && rangedFilter_.matches(*nextChild)) {
      if (accumulator) {
        accumulator->trackChildChange(Change::childAdded(nextChild->name, nextChild->node));
      }
      return newEventCache.updateChild(nextChild->name, nextChild->node);
    }
    return newEventCache;
  }
  if (childSnap->isEmpty()) return snap;  // a removal outside the window
  if (inRange && compare(windowBoundary, newChild) >= 0) {
    if (accumulator) {
      accumulator->trackChildChange(Change::childRemoved(windowBoundary.name, windowBoundary.node));
      accumulator->trackChildChange(Change::childAdded(key, childSnap));
    }
    return oldEventCache.updateChild(key, childSnap, oldChildSnap)
        .updateChild(windowBoundary.name, EmptyNode::emptyNode());
  }
  return snap;
}

IndexedNode LimitedFilter::updateFullNode(const IndexedNode& oldSnap, const IndexedNode& newSnap,
                                          ChildChangeAccumulator* accumulator) const {
  NodePtr result;
  const NodePtr& newNode = newSnap.node();
  if (newNode->isLeafNode() || newNode->isEmpty()) {
    result = EmptyNode::emptyNode();
  } else {
    IndexedNode indexed = newSnap.withIndex(index_);
    const NamedNode& startPost = reverse_ ? rangedFilter_.endPost() : rangedFilter_.startPost();
    const NamedNode& endPost = reverse_ ? rangedFilter_.startPost() : rangedFilter_.endPost();
    if (limit_ * 2 < newNode->numChildren()) {
      // Far more children than the window: build the window up.
      ChildMap children;
      size_t count = 0;
      forEachIndexedChildFrom(indexed, startPost, reverse_, [&](const NamedNode& next) {
        if (count >= limit_) return true;
        if (compare(next, endPost) > 0) return true;
        if (compare(startPost, next) <= 0) {
          children = children.insert(next.name, next.node);
          ++count;
        }
        return false;
      });
      result = ChildrenNode::create(std::move(children));
    } else {
      // Few children: drop those outside the window.
      result = newNode->updatePriority(EmptyNode::emptyNode());
      size_t count = 0;
      bool foundStartPost = false;
      forEachIndexedChild(indexed, reverse_, [&](const NamedNode& next) {
        if (!foundStartPost && compare(startPost, next) <= 0) foundStartPost = true;
        bool inRange = foundStartPost && count < limit_ && compare(next, endPost) <= 0;
        if (inRange) {
          ++count;
        } else {
          result = result->updateImmediateChild(next.name, EmptyNode::emptyNode());
        }
        return false;
      });
    }
  }
  return rangedFilter_.indexedFilter().updateFullNode(oldSnap, IndexedNode(result, index_),
                                                      accumulator);
}

IndexedNode LimitedFilter::updatePriority(const IndexedNode& oldSnap, NodePtr) const {
  return oldSnap;
}

std::unique_ptr<NodeFilter> makeNodeFilter(const QueryParams& params) {
  if (params.loadsAllData()) return std::make_unique<IndexedFilter>(params.index());
  if (params.limitSet()) return std::make_unique<LimitedFilter>(params);
  return std::make_unique<RangedFilter>(params);
}

}  // namespace dz::database
