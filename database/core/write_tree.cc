#include "database/core/write_tree.h"

#include <algorithm>

#include "database/core/view/node_filter.h"

namespace dz::database {

bool WriteTree::addOverwrite(const Path& path, NodePtr snap, WriteId writeId, bool visible) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  allWrites_.push_back(WriteRecord::overwrite(writeId, path, std::move(snap), visible));
  if (visible) countPaths(allWrites_.back(), 1);
  lastWriteId_ = writeId;
  return true;
}

bool WriteTree::addMerge(const Path& path, const CompoundWrite& changedChildren, WriteId writeId) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  allWrites_.push_back(WriteRecord::merge(writeId, path, changedChildren));
  countPaths(allWrites_.back(), 1);
  lastWriteId_ = writeId;
  return true;
}

const WriteRecord* WriteTree::write(WriteId writeId) const {
  for (const auto& record : allWrites_) {
    if (record.writeId() == writeId) return &record;
  }
  return nullptr;
}

bool WriteTree::PathLess::operator()(const Path& a, const Path& b) const {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    int c = compareKeys(a[i], b[i]);
    if (c != 0) return c < 0;
  }
  return a.size() < b.size();
}

void WriteTree::countPaths(const WriteRecord& record, int delta) {
  auto count = [&](const Path& path) {
    size_t& n = writtenPaths_[path];
    n += delta;
    if (n == 0) writtenPaths_.erase(path);
  };
  if (record.isOverwrite()) {
    count(record.path());
    return;
  }
  record.merge().enumerateWrites([&](const Path& childPath, const NodePtr&) {
    count(record.path().child(childPath));
    return false;
  });
}

bool WriteTree::writtenAtOrAbove(const Path& path) const {
  for (size_t depth = 0; depth <= path.size(); ++depth) {
    Path prefix =
        depth == path.size()
            ? path
            : Path(std::vector<std::string>(path.keys().begin(), path.keys().begin() + depth));
    if (writtenPaths_.count(prefix)) return true;
  }
  return false;
}

bool WriteTree::writtenAtOrBelow(const Path& path) const {
  // Paths below `path` follow it directly in path order.
  auto it = writtenPaths_.lower_bound(path);
  return it != writtenPaths_.end() && path.contains(it->first);
}

bool WriteTree::removeWrite(WriteId writeId) {
  auto it = std::find_if(allWrites_.begin(), allWrites_.end(),
                         [&](const WriteRecord& r) { return r.writeId() == writeId; });
  if (it == allWrites_.end()) return false;
  bool visible = it->visible();
  if (visible) countPaths(*it, -1);
  allWrites_.erase(it);
  // Even a write that a later one covers may have turned a leaf above it into children.
  return visible;
}

std::vector<WriteRecord> WriteTree::removeAllWrites() {
  std::vector<WriteRecord> purged = std::move(allWrites_);
  allWrites_.clear();
  writtenPaths_.clear();
  // The last id stays: ids must keep increasing even after their writes are gone.
  return purged;
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
  // The writes at, above or below the location, newest first, back to the last one that fixes
  // the whole location (earlier writes and the base no longer matter then).
  std::vector<const WriteRecord*> relevant;
  bool covered = false;
  for (size_t i = allWrites_.size(); i-- > 0;) {
    const WriteRecord& write = allWrites_[i];
    bool above = write.path().contains(path);
    if (!above && !path.contains(write.path())) continue;
    if (!include(write)) continue;
    relevant.push_back(&write);
    if (above && coversPath(write, path)) {
      covered = true;
      break;
    }
  }
  if (!covered && !base) return nullptr;
  NodePtr data = covered ? EmptyNode::emptyNode() : base;
  if (!path.isEmpty() && data->isEmpty()) data = EmptyNode::emptyNode();
  for (auto it = relevant.rbegin(); it != relevant.rend(); ++it) {
    data = applyWriteAt(**it, path, data);
  }
  return data;
}

NodePtr WriteTree::visibleData(const Path& path, const NodePtr& base) const {
  if (!writtenAtOrAbove(path) && !writtenAtOrBelow(path)) return base;
  return layeredData(path, base, [](const WriteRecord& write) { return write.visible(); });
}

bool WriteTree::hasShadowingWrite(const Path& path) const {
  if (!writtenAtOrAbove(path)) return false;
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
  for (auto it = writtenPaths_.upper_bound(treePath);
       it != writtenPaths_.end() && treePath.contains(it->first); ++it) {
    const std::string& key = it->first[treePath.size()];
    if (key != kPriorityKey) touched.insert(key);
  }
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
