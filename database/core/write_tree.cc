#include "database/core/write_tree.h"

#include <algorithm>

#include "database/core/view/node_filter.h"

namespace dz::database {

bool WriteTree::addOverwrite(const Path& path, NodePtr snap, WriteId writeId, bool visible) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  if (visible) visibleWrites_ = visibleWrites_.addWrite(path, snap);
  allWrites_.push_back(WriteRecord::overwrite(writeId, path, std::move(snap), visible));
  lastWriteId_ = writeId;
  return true;
}

bool WriteTree::addMerge(const Path& path, const CompoundWrite& changedChildren, WriteId writeId) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  visibleWrites_ = visibleWrites_.addWrites(path, changedChildren);
  allWrites_.push_back(WriteRecord::merge(writeId, path, changedChildren));
  lastWriteId_ = writeId;
  return true;
}

const WriteRecord* WriteTree::write(WriteId writeId) const {
  for (const auto& record : allWrites_) {
    if (record.writeId() == writeId) return &record;
  }
  return nullptr;
}

bool WriteTree::recordContainsPath(const WriteRecord& record, const Path& path) {
  if (record.isOverwrite()) return record.path().contains(path);
  bool found = false;
  record.merge().enumerateWrites([&](const Path& childPath, const NodePtr&) {
    if (record.path().child(childPath).contains(path)) found = true;
    return found;
  });
  return found;
}

namespace {

// The absolute paths a record writes.
std::vector<Path> writtenPaths(const WriteRecord& record) {
  if (record.isOverwrite()) return {record.path()};
  std::vector<Path> paths;
  record.merge().enumerateWrites([&](const Path& childPath, const NodePtr&) {
    paths.push_back(record.path().child(childPath));
    return false;
  });
  return paths;
}

bool overlaps(const std::vector<Path>& a, const std::vector<Path>& b) {
  for (const Path& x : a) {
    for (const Path& y : b) {
      if (x.contains(y) || y.contains(x)) return true;
    }
  }
  return false;
}

}  // namespace

bool WriteTree::removeWrite(WriteId writeId) {
  auto it = std::find_if(allWrites_.begin(), allWrites_.end(),
                         [&](const WriteRecord& r) { return r.writeId() == writeId; });
  if (it == allWrites_.end()) return false;
  size_t index = it - allWrites_.begin();
  WriteRecord toRemove = *it;
  allWrites_.erase(it);

  bool removedWriteWasVisible = toRemove.visible();
  bool overlapsOtherWrites = false;
  std::vector<Path> removedPaths = writtenPaths(toRemove);
  for (size_t i = allWrites_.size(); removedWriteWasVisible && i-- > 0;) {
    const WriteRecord& current = allWrites_[i];
    if (!current.visible()) continue;
    if (i >= index && recordContainsPath(current, toRemove.path())) {
      // A later write covers it completely.
      removedWriteWasVisible = false;
    } else if (overlaps(removedPaths, writtenPaths(current))) {
      // Writes folded into one another (either way round, merges included): rebuild.
      overlapsOtherWrites = true;
    }
  }
  if (!removedWriteWasVisible) return false;
  if (overlapsOtherWrites) {
    resetTree();
    return true;
  }
  for (const Path& path : removedPaths) visibleWrites_ = visibleWrites_.removeWrite(path);
  return true;
}

std::vector<WriteRecord> WriteTree::removeAllWrites() {
  std::vector<WriteRecord> purged = std::move(allWrites_);
  allWrites_.clear();
  visibleWrites_ = CompoundWrite();
  return purged;
}

void WriteTree::resetTree() {
  visibleWrites_ = layerTree(
      allWrites_, [](const WriteRecord& w) { return w.visible(); }, Path());
  // The last id stays: ids must keep increasing even after their writes are gone.
}

CompoundWrite WriteTree::layerTree(const std::vector<WriteRecord>& writes,
                                   const std::function<bool(const WriteRecord&)>& filter,
                                   const Path& treeRoot) {
  CompoundWrite result;
  for (const auto& write : writes) {
    if (!filter(write)) continue;
    const Path& writePath = write.path();
    if (write.isOverwrite()) {
      if (treeRoot.contains(writePath)) {
        result = result.addWrite(Path::relativePath(treeRoot, writePath), write.overwrite());
      } else if (writePath.contains(treeRoot)) {
        result = result.addWrite(
            Path(), write.overwrite()->getChild(Path::relativePath(writePath, treeRoot)));
      }
    } else {
      if (treeRoot.contains(writePath)) {
        result = result.addWrites(Path::relativePath(treeRoot, writePath), write.merge());
      } else if (writePath.contains(treeRoot)) {
        Path relative = Path::relativePath(writePath, treeRoot);
        if (relative.isEmpty()) {
          result = result.addWrites(Path(), write.merge());
        } else {
          CompoundWrite childMerge = write.merge().childCompoundWrite(relative);
          if (!childMerge.isEmpty()) result = result.addWrites(Path(), childMerge);
        }
      }
    }
  }
  return result;
}

NodePtr WriteTree::shadowingWrite(const Path& path) const {
  return visibleWrites_.completeNode(path);
}

NodePtr WriteTree::calcCompleteEventCache(const Path& treePath, const NodePtr& completeServerCache,
                                          const std::set<WriteId>& writeIdsToExclude,
                                          bool includeHiddenWrites) const {
  if (writeIdsToExclude.empty() && !includeHiddenWrites) {
    if (NodePtr shadowing = visibleWrites_.completeNode(treePath)) return shadowing;
    CompoundWrite subMerge = visibleWrites_.childCompoundWrite(treePath);
    if (subMerge.isEmpty()) return completeServerCache;
    if (!completeServerCache && !subMerge.hasCompleteWrite(Path())) return nullptr;
    return subMerge.apply(completeServerCache ? completeServerCache : EmptyNode::emptyNode());
  }
  CompoundWrite merge = visibleWrites_.childCompoundWrite(treePath);
  if (!includeHiddenWrites && merge.isEmpty()) return completeServerCache;
  if (!includeHiddenWrites && !completeServerCache && !merge.hasCompleteWrite(Path())) {
    return nullptr;
  }
  auto filter = [&](const WriteRecord& write) {
    return (write.visible() || includeHiddenWrites) &&
           writeIdsToExclude.count(write.writeId()) == 0 &&
           (write.path().contains(treePath) || treePath.contains(write.path()));
  };
  CompoundWrite mergeAtPath = layerTree(allWrites_, filter, treePath);
  if (!completeServerCache && !mergeAtPath.hasCompleteWrite(Path())) return nullptr;
  return mergeAtPath.apply(completeServerCache ? completeServerCache : EmptyNode::emptyNode());
}

NodePtr WriteTree::calcCompleteEventChildren(const Path& treePath,
                                             const NodePtr& completeServerChildren) const {
  NodePtr completeChildren = EmptyNode::emptyNode();
  if (NodePtr topLevelSet = visibleWrites_.completeNode(treePath)) {
    if (!topLevelSet->isLeafNode()) {
      completeChildren = ChildrenNode::create(topLevelSet->children());
    }
    return completeChildren;
  }
  CompoundWrite merge = visibleWrites_.childCompoundWrite(treePath);
  if (completeServerChildren) {
    for (const auto& entry : completeServerChildren->children()) {
      NodePtr node =
          merge.childCompoundWrite(Path(std::vector<std::string>{entry.key})).apply(entry.value);
      completeChildren = completeChildren->updateImmediateChild(entry.key, node);
    }
  }
  for (const NamedNode& child : merge.completeChildren()) {
    completeChildren = completeChildren->updateImmediateChild(child.name, child.node);
  }
  return completeChildren;
}

NodePtr WriteTree::calcEventCacheAfterServerOverwrite(const Path& treePath, const Path& childPath,
                                                      const NodePtr& existingEventSnap,
                                                      const NodePtr& existingServerSnap) const {
  Path path = treePath.child(childPath);
  if (visibleWrites_.hasCompleteWrite(path)) return nullptr;
  const NodePtr& base = existingServerSnap ? existingServerSnap : existingEventSnap;
  NodePtr current = base ? base->getChild(childPath) : EmptyNode::emptyNode();
  CompoundWrite childMerge = visibleWrites_.childCompoundWrite(path);
  if (childMerge.isEmpty()) return current;
  return childMerge.apply(current);
}

NodePtr WriteTree::calcCompleteChild(const Path& treePath, const std::string& childKey,
                                     const CacheNode& existingServerSnap) const {
  Path path = treePath.child(childKey);
  if (NodePtr shadowing = visibleWrites_.completeNode(path)) return shadowing;
  if (!existingServerSnap.isCompleteForChild(childKey)) return nullptr;
  CompoundWrite childMerge = visibleWrites_.childCompoundWrite(path);
  return childMerge.apply(existingServerSnap.node()->getImmediateChild(childKey));
}

std::vector<NamedNode> WriteTree::calcIndexedSlice(const Path& treePath,
                                                   const NodePtr& completeServerData,
                                                   const NamedNode& startPost, size_t count,
                                                   bool reverse, const IndexPtr& index) const {
  CompoundWrite merge = visibleWrites_.childCompoundWrite(treePath);
  NodePtr toIterate = merge.completeNode(Path());
  if (!toIterate) {
    if (!completeServerData) return {};
    toIterate = merge.apply(completeServerData);
  }
  std::vector<NamedNode> nodes;
  if (toIterate->isEmpty() || toIterate->isLeafNode()) return nodes;
  IndexedNode indexed(toIterate, index);
  forEachIndexedChildFrom(indexed, startPost, reverse, [&](const NamedNode& next) {
    if (nodes.size() >= count) return true;
    if (index->compare(next, startPost) != 0) nodes.push_back(next);
    return false;
  });
  return nodes;
}

WriteTreeRef WriteTree::childWrites(const Path& path) const { return WriteTreeRef(path, this); }

}  // namespace dz::database
