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

  if (!toRemove.visible()) return false;
  bool coveredByLaterWrite = false;
  bool overlapsOtherWrites = false;
  std::vector<Path> removedPaths = writtenPaths(toRemove);
  for (size_t i = allWrites_.size(); !coveredByLaterWrite && i-- > 0;) {
    const WriteRecord& current = allWrites_[i];
    if (!current.visible()) continue;
    if (i >= index && recordContainsPath(current, toRemove.path())) {
      // The touched locations stay as they are.
      coveredByLaterWrite = true;
    } else if (overlaps(removedPaths, writtenPaths(current))) {
      // Writes folded into one another (either way round, merges included): rebuild.
      overlapsOtherWrites = true;
    }
  }
  if (coveredByLaterWrite) return true;
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

namespace {

// Whether the write alone fixes all data at `path`.
bool coversPath(const WriteRecord& write, const Path& path) {
  if (!write.path().contains(path)) return false;
  return write.isOverwrite() ||
         write.merge().hasCompleteWrite(Path::relativePath(write.path(), path));
}

// The data at `path` once the write applies to `before`, the data there until then. Exactly what
// applying the write to the whole tree leaves at `path`: a write below a leaf turns it into
// children, an empty one leaves it alone.
NodePtr applyWriteAt(const WriteRecord& write, const Path& path, const NodePtr& before) {
  NodePtr after = before;
  if (write.path().contains(path)) {
    Path relative = Path::relativePath(write.path(), path);
    if (write.isOverwrite()) {
      after = write.overwrite()->getChild(relative);
    } else if (NodePtr complete = write.merge().completeNode(relative)) {
      after = std::move(complete);
    } else if (CompoundWrite below = write.merge().childCompoundWrite(relative); !below.isEmpty()) {
      after = below.apply(before);
    }
  } else if (path.contains(write.path())) {
    Path relative = Path::relativePath(path, write.path());
    after = write.isOverwrite() ? before->updateChild(relative, write.overwrite())
                                : CompoundWrite().addWrites(relative, write.merge()).apply(before);
  }
  // Below the root nothing empty lingers (an emptied child is removed with whatever priority
  // it had).
  if (!path.isEmpty() && after->isEmpty()) return EmptyNode::emptyNode();
  return after;
}

}  // namespace

NodePtr WriteTree::layeredData(const Path& path, const NodePtr& base,
                               const std::function<bool(const WriteRecord&)>& include) const {
  // The last write that fixes the whole location makes earlier writes and the base irrelevant.
  size_t first = 0;
  bool covered = false;
  for (size_t i = allWrites_.size(); i-- > 0;) {
    if (include(allWrites_[i]) && coversPath(allWrites_[i], path)) {
      first = i;
      covered = true;
      break;
    }
  }
  if (!covered && !base) return nullptr;
  NodePtr data = covered ? EmptyNode::emptyNode() : base;
  if (!path.isEmpty() && data->isEmpty()) data = EmptyNode::emptyNode();
  for (size_t i = first; i < allWrites_.size(); ++i) {
    if (include(allWrites_[i])) data = applyWriteAt(allWrites_[i], path, data);
  }
  return data;
}

NodePtr WriteTree::visibleData(const Path& path, const NodePtr& base) const {
  if (visibleWrites_.childCompoundWrite(path).isEmpty()) return base;
  return layeredData(path, base, [](const WriteRecord& write) { return write.visible(); });
}

bool WriteTree::hasShadowingWrite(const Path& path) const {
  if (!visibleWrites_.hasCompleteWrite(path)) return false;
  return std::any_of(allWrites_.begin(), allWrites_.end(), [&](const WriteRecord& write) {
    return write.visible() && coversPath(write, path);
  });
}

NodePtr WriteTree::shadowingWrite(const Path& path) const { return visibleData(path, nullptr); }

NodePtr WriteTree::calcCompleteEventCache(const Path& treePath, const NodePtr& completeServerCache,
                                          const std::set<WriteId>& writeIdsToExclude,
                                          bool includeHiddenWrites) const {
  if (writeIdsToExclude.empty() && !includeHiddenWrites) {
    return visibleData(treePath, completeServerCache);
  }
  return layeredData(treePath, completeServerCache, [&](const WriteRecord& write) {
    return (write.visible() || includeHiddenWrites) &&
           writeIdsToExclude.count(write.writeId()) == 0;
  });
}

NodePtr WriteTree::calcCompleteEventChildren(const Path& treePath,
                                             const NodePtr& completeServerChildren) const {
  if (NodePtr complete = shadowingWrite(treePath)) {
    if (complete->isLeafNode()) return EmptyNode::emptyNode();
    return ChildrenNode::create(complete->children());
  }
  // No write fixes the location, so every write here lies below one child: layer each touched
  // child on its own.
  std::set<std::string, KeyLess> touched;
  visibleWrites_.childCompoundWrite(treePath).enumerateWrites(
      [&](const Path& path, const NodePtr&) {
        if (!path.isEmpty() && path.front() != kPriorityKey) touched.insert(path.front());
        return false;
      });
  NodePtr completeChildren = EmptyNode::emptyNode();
  if (completeServerChildren) {
    for (const auto& entry : completeServerChildren->children()) {
      NodePtr child = touched.count(entry.key) ? visibleData(treePath.child(entry.key), entry.value)
                                               : entry.value;
      completeChildren = completeChildren->updateImmediateChild(entry.key, child);
    }
  }
  for (const std::string& key : touched) {
    if (completeServerChildren && completeServerChildren->hasChild(key)) continue;
    if (NodePtr child = shadowingWrite(treePath.child(key))) {
      completeChildren = completeChildren->updateImmediateChild(key, child);
    }
  }
  return completeChildren;
}

NodePtr WriteTree::calcEventCacheAfterServerOverwrite(const Path& treePath, const Path& childPath,
                                                      const NodePtr& existingEventSnap,
                                                      const NodePtr& existingServerSnap) const {
  Path path = treePath.child(childPath);
  if (hasShadowingWrite(path)) return nullptr;
  const NodePtr& base = existingServerSnap ? existingServerSnap : existingEventSnap;
  NodePtr current = base ? base->getChild(childPath) : EmptyNode::emptyNode();
  return visibleData(path, current);
}

NodePtr WriteTree::calcCompleteChild(const Path& treePath, const std::string& childKey,
                                     const CacheNode& existingServerSnap) const {
  Path path = treePath.child(childKey);
  NodePtr serverChild;
  if (existingServerSnap.isCompleteForChild(childKey)) {
    serverChild = existingServerSnap.node()->getImmediateChild(childKey);
  }
  return visibleData(path, serverChild);
}

std::vector<NamedNode> WriteTree::calcIndexedSlice(const Path& treePath,
                                                   const NodePtr& completeServerData,
                                                   const NamedNode& startPost, size_t count,
                                                   bool reverse, const IndexPtr& index) const {
  NodePtr toIterate = visibleData(treePath, completeServerData);
  std::vector<NamedNode> nodes;
  if (!toIterate || toIterate->isEmpty() || toIterate->isLeafNode()) return nodes;
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
