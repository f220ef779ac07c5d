#include "database/core/write_tree.h"

#include <algorithm>
#include <atomic>

#include "database/core/view/node_filter.h"

namespace dz::database {

void ChildRanking::rank(const std::string& key, const NodePtr& child) {
  auto known = byKey_.find(key);
  if (known != byKey_.end()) order_.erase(known->second);
  if (child->isEmpty()) {
    if (known != byKey_.end()) byKey_.erase(known);
    return;
  }
  if (known == byKey_.end()) known = byKey_.emplace(key, Order::iterator()).first;
  known->second = order_.insert(Ranked{&index_->indexedValue(*child), known->first, child}).first;
}

void ChildRanking::clear() {
  order_.clear();
  byKey_.clear();
  touched_.clear();
  server_ = nullptr;
}

std::vector<NamedNode> ChildRanking::after(const NamedNode& post, size_t count,
                                           bool reverse) const {
  std::vector<NamedNode> nodes;
  const Ranked probe{&index_->indexedValue(*post.node), post.name, nullptr};
  if (reverse) {
    for (auto it = order_.lower_bound(probe); it != order_.begin() && nodes.size() < count;) {
      --it;
      nodes.emplace_back(std::string(it->name), it->child);
    }
  } else {
    for (auto it = order_.upper_bound(probe); it != order_.end() && nodes.size() < count; ++it) {
      nodes.emplace_back(std::string(it->name), it->child);
    }
  }
  return nodes;
}

namespace {

uint64_t nextWriteTreeId() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

}  // namespace

WriteTree::WriteTree() : id_(nextWriteTreeId()) {}

bool WriteTree::addOverwrite(const Path& path, NodePtr snap, WriteId writeId, bool visible) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  add(WriteRecord::overwrite(writeId, path, std::move(snap), visible));
  return true;
}

bool WriteTree::addMerge(const Path& path, const CompoundWrite& changedChildren, WriteId writeId) {
  if (lastWriteId_ && writeId <= *lastWriteId_) return false;
  add(WriteRecord::merge(writeId, path, changedChildren));
  return true;
}

void WriteTree::add(WriteRecord record) {
  std::vector<Place> places;
  if (record.isOverwrite()) {
    places.push_back(Place{record.path(), !record.overwrite()->isEmpty()});
  } else {
    record.merge().enumerateWrites([&](const Path& childPath, const NodePtr& node) {
      places.push_back(Place{record.path().child(childPath), !node->isEmpty()});
      return false;
    });
  }
  const WriteId writeId = record.writeId();
  auto added =
      writes_.emplace_hint(writes_.end(), writeId, Pending{std::move(record), std::move(places)});
  index(added->second);
  lastWriteId_ = writeId;
}

const WriteRecord* WriteTree::write(WriteId writeId) const {
  auto it = writes_.find(writeId);
  return it == writes_.end() ? nullptr : &it->second.record;
}

void WriteTree::index(Pending& write) {
  const WriteRecord& record = write.record;
  for (Place& place : write.places) {
    PathNode* node = &paths_;
    for (size_t i = 0;; ++i) {
      node->forgetLayered();
      if (record.visible()) ++node->visibleAtOrBelow;
      if (!place.setsData) ++node->removalsAtOrBelow;
      if (i == place.path.size()) break;
      auto& child = node->children[place.path[i]];
      if (!child) child = std::make_unique<PathNode>();
      node = child.get();
    }
    // Ids only grow, so appending keeps them in order.
    node->writes.push_back(&write);
    if (record.visible()) ++node->visibleHere;
    place.node = node;
    noteWritten(place.path);
  }
}

void WriteTree::noteWritten(const Path& path) {
  std::erase_if(rankings_, [&](const std::weak_ptr<ChildRanking>& held) {
    std::shared_ptr<ChildRanking> ranking = held.lock();
    if (!ranking) return true;
    // Writes at or above the location need no note: a ranking is used only without them.
    const Path& at = ranking->path_;
    if (path.size() > at.size() && at.contains(path)) ranking->touched_.insert(path[at.size()]);
    return false;
  });
}

void WriteTree::unindex(const Pending& write) {
  const WriteRecord& record = write.record;
  for (const Place& place : write.places) {
    const Path& path = place.path;
    noteWritten(path);
    std::vector<PathNode*> chain{&paths_};
    bool found = true;
    for (size_t i = 0; found && i < path.size(); ++i) {
      auto it = chain.back()->children.find(path[i]);
      found = it != chain.back()->children.end();
      if (found) chain.push_back(it->second.get());
    }
    if (!found) continue;
    auto& writes = chain.back()->writes;
    writes.erase(
        std::lower_bound(writes.begin(), writes.end(), record.writeId(),
                         [](const Pending* p, WriteId id) { return p->record.writeId() < id; }));
    if (record.visible()) --chain.back()->visibleHere;
    for (size_t i = chain.size(); i-- > 0;) {
      PathNode* node = chain[i];
      node->forgetLayered();
      if (record.visible()) --node->visibleAtOrBelow;
      if (!place.setsData) --node->removalsAtOrBelow;
      if (i > 0 && node->writes.empty() && node->children.empty()) {
        chain[i - 1]->children.erase(path[i - 1]);
      }
    }
  }
}

WriteTree::Chain WriteTree::nodesTo(const Path& path) const {
  std::vector<const PathNode*> chain;
  chain.reserve(path.size() + 1);
  chain.push_back(&paths_);
  for (size_t i = 0; i < path.size(); ++i) {
    auto it = chain.back()->children.find(path[i]);
    if (it == chain.back()->children.end()) break;
    chain.push_back(it->second.get());
  }
  return chain;
}

std::vector<const WriteTree::Pending*> WriteTree::writesAround(const Path& path,
                                                               const Chain& chain) const {
  std::vector<const Pending*> writes;
  size_t sources = 0;
  auto take = [&](const PathNode* node) {
    if (node->writes.empty()) return;
    ++sources;
    writes.insert(writes.end(), node->writes.begin(), node->writes.end());
  };
  for (const PathNode* node : chain) take(node);
  if (chain.size() == path.size() + 1 && !chain.back()->children.empty()) {
    std::vector<const PathNode*> below;
    for (const auto& entry : chain.back()->children) below.push_back(entry.second.get());
    while (!below.empty()) {
      const PathNode* node = below.back();
      below.pop_back();
      take(node);
      for (const auto& entry : node->children) below.push_back(entry.second.get());
    }
  }
  // The writes of one location are in order already. From several, a merge may write at more
  // than one of them.
  if (sources > 1) {
    std::sort(writes.begin(), writes.end(), [](const Pending* a, const Pending* b) {
      return a->record.writeId() > b->record.writeId();
    });
    writes.erase(std::unique(writes.begin(), writes.end()), writes.end());
  } else {
    std::reverse(writes.begin(), writes.end());
  }
  return writes;
}

bool WriteTree::writtenAtOrAbove(const Chain& chain) const {
  return std::any_of(chain.begin(), chain.end(),
                     [](const PathNode* node) { return node->visibleHere > 0; });
}

bool WriteTree::removeWrite(WriteId writeId) {
  auto it = writes_.find(writeId);
  if (it == writes_.end()) return false;
  bool visible = it->second.record.visible();
  unindex(it->second);
  writes_.erase(it);
  // Even a write that a later one covers may have turned a leaf above it into children.
  return visible;
}

std::vector<WriteRecord> WriteTree::removeAllWrites() {
  std::vector<WriteRecord> purged;
  purged.reserve(writes_.size());
  for (auto& entry : writes_) {
    for (const Place& place : entry.second.places) noteWritten(place.path);
    purged.push_back(std::move(entry.second.record));
  }
  writes_.clear();
  paths_ = PathNode();
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

// Whether the places below `path` that later writes set to data (`setBelow`) hold every place
// the write writes that bears on `path`: the write then changes nothing there. Even a write
// that turned a leaf above into children changes nothing, as the later ones turn it too.
template <class Place>
bool writtenOverBelow(const std::vector<Place>& places, const Path& path,
                      const std::vector<const Place*>& setBelow) {
  for (const Place& place : places) {
    // Most often a later write sets the very same place.
    if (std::any_of(setBelow.begin(), setBelow.end(),
                    [&](const Place* later) { return later->node == place.node; })) {
      continue;
    }
    // A place at or above `path` is never written over below it; places beside it do not
    // bear on it.
    if (place.path.contains(path)) return false;
    if (path.contains(place.path) &&
        std::none_of(setBelow.begin(), setBelow.end(),
                     [&](const Place* later) { return later->path.contains(place.path); })) {
      return false;
    }
  }
  return true;
}

// Adds the places strictly below `path` that the write sets to data.
template <class Place>
void noteSetBelow(const std::vector<Place>& places, const Path& path,
                  std::vector<const Place*>& setBelow) {
  for (const Place& place : places) {
    if (place.setsData && place.path.size() > path.size() && path.contains(place.path)) {
      setBelow.push_back(&place);
    }
  }
}

}  // namespace

template <class Include>
NodePtr WriteTree::layeredData(const Path& path, const Chain& chain, const NodePtr& base,
                               const Include& include) const {
  // The writes at, above or below the location, newest first, back to the last one that fixes
  // the whole location (earlier writes and the base no longer matter then). A write below it
  // that later ones write over is passed over too.
  std::vector<const WriteRecord*> relevant;
  std::vector<const Place*> setBelow;
  bool covered = false;
  // Where a write removes data below, the writes before it decide which nodes it empties (and
  // so which lose their priorities) even where later ones write over them: none is passed over.
  const bool removalsBelow = chain.size() == path.size() + 1 && chain.back()->removalsAtOrBelow > 0;
  for (const Pending* pending : writesAround(path, chain)) {
    const WriteRecord& write = pending->record;
    if (!include(write)) continue;
    if (!removalsBelow && !setBelow.empty() && writtenOverBelow(pending->places, path, setBelow)) {
      continue;
    }
    relevant.push_back(&write);
    if (write.path().contains(path) && coversPath(write, path)) {
      covered = true;
      break;
    }
    noteSetBelow(pending->places, path, setBelow);
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
  Chain chain = nodesTo(path);
  const bool reached = chain.size() == path.size() + 1;
  const bool writtenAbove = std::any_of(chain.begin(), reached ? chain.end() - 1 : chain.end(),
                                        [](const PathNode* node) { return node->visibleHere > 0; });
  const bool writtenAtOrBelow = reached && chain.back()->visibleAtOrBelow > 0;
  if (!writtenAtOrBelow && !writtenAbove) return base;
  auto visible = [](const WriteRecord& write) { return write.visible(); };
  if (writtenAbove || !base) return layeredData(path, chain, base, visible);
  // Only writes here or below: the data is kept until one of them comes or goes.
  const PathNode& node = *chain.back();
  if (!node.layered || node.layeredBase.get() != base.get()) {
    node.layered = layeredData(path, chain, base, visible);
    node.layeredBase = base;
  }
  return node.layered;
}

bool WriteTree::hasShadowingWrite(const Path& path) const {
  // A write that covers the location writes at it or above it.
  for (const PathNode* node : nodesTo(path)) {
    for (const Pending* pending : node->writes) {
      const WriteRecord& write = pending->record;
      if (write.visible() && coversPath(write, path)) return true;
    }
  }
  return false;
}

NodePtr WriteTree::shadowingWrite(const Path& path) const { return visibleData(path, nullptr); }

NodePtr WriteTree::calcCompleteEventCache(const Path& treePath, const NodePtr& completeServerCache,
                                          const std::set<WriteId>& writeIdsToExclude,
                                          bool includeHiddenWrites) const {
  if (writeIdsToExclude.empty() && !includeHiddenWrites) {
    return visibleData(treePath, completeServerCache);
  }
  return layeredData(treePath, nodesTo(treePath), completeServerCache,
                     [&](const WriteRecord& write) {
                       return (write.visible() || includeHiddenWrites) &&
                              writeIdsToExclude.count(write.writeId()) == 0;
                     });
}

NodePtr WriteTree::calcCompletePriority(const Path& treePath,
                                        const NodePtr& completeServerCache) const {
  Chain chain = nodesTo(treePath);
  if (!writtenAtOrAbove(chain) && completeServerCache) {
    const PathNode* here = chain.size() == treePath.size() + 1 ? chain.back() : nullptr;
    bool writesPriority = false;
    if (here) {
      auto written = here->children.find(kPriorityKey);
      writesPriority = written != here->children.end() && written->second->visibleAtOrBelow > 0;
    }
    // Writes below keep the server's priority unless one writes it or empties the location.
    if (!writesPriority &&
        (completeServerCache->getPriority()->isEmpty() || !here || here->removalsAtOrBelow == 0)) {
      return completeServerCache->getPriority();
    }
  }
  NodePtr data = visibleData(treePath, completeServerCache);
  return data ? data->getPriority() : nullptr;
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
  if (std::vector<const PathNode*> chain = nodesTo(treePath); chain.size() == treePath.size() + 1) {
    for (const auto& [key, node] : chain.back()->children) {
      if (key != kPriorityKey && node->visibleAtOrBelow > 0) touched.insert(key);
    }
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
  return visibleData(path, existingServerSnap.completeChild(childKey));
}

template <class Visit>
void WriteTree::forEachCompleteChild(const Path& treePath, const Chain& chain,
                                     const NodePtr& serverData, const Visit& visit) const {
  // Each written child is layered on its own (and kept until a write at or below it comes or
  // goes), the others are the server's. Both are in key order, so one pass pairs them.
  static const decltype(PathNode::children) kNoneWritten;
  const auto& written = chain.size() == treePath.size() + 1 ? chain.back()->children : kNoneWritten;
  auto visitWritten = [&](const std::string& key, const PathNode& node, const NodePtr& base) {
    if (key != kPriorityKey) visit(key, writtenChild(treePath, key, node, base));
  };
  auto next = written.begin();
  if (!serverData->isLeafNode()) {
    for (const auto& entry : serverData->children()) {
      for (; next != written.end() && compareKeys(next->first, entry.key) < 0; ++next) {
        visitWritten(next->first, *next->second, EmptyNode::emptyNode());
      }
      if (next != written.end() && next->first == entry.key) {
        visitWritten(next->first, *next->second, entry.value);
        ++next;
      } else {
        visit(entry.key, entry.value);
      }
    }
  }
  for (; next != written.end(); ++next) {
    visitWritten(next->first, *next->second, EmptyNode::emptyNode());
  }
}

NodePtr WriteTree::completeChildBelow(const Path& treePath, const Chain& chain,
                                      const NodePtr& serverData, const std::string& key) const {
  if (key == kPriorityKey) return EmptyNode::emptyNode();
  NodePtr base =
      serverData->isLeafNode() ? EmptyNode::emptyNode() : serverData->getImmediateChild(key);
  if (chain.size() != treePath.size() + 1) return base;
  auto written = chain.back()->children.find(key);
  if (written == chain.back()->children.end()) return base;
  return writtenChild(treePath, key, *written->second, base);
}

NodePtr WriteTree::writtenChild(const Path& treePath, const std::string& key, const PathNode& node,
                                const NodePtr& base) const {
  if (node.visibleAtOrBelow == 0) return base;
  // The kept data, without building the child's path when it is still good.
  if (node.layered && node.layeredBase.get() == base.get()) return node.layered;
  return visibleData(treePath.child(key), base);
}

void WriteTree::rankChildren(ChildRanking& ranking, const Path& treePath, const Chain& chain,
                             const NodePtr& serverData, const IndexPtr& index) const {
  const bool sameRanking = ranking.treeId_ == id_ && ranking.server_ && ranking.path_ == treePath &&
                           indexesEqual(ranking.index_, index);
  if (!sameRanking) {
    ranking.clear();
    ranking.treeId_ = id_;
    ranking.path_ = treePath;
    ranking.index_ = index;
    forEachCompleteChild(
        treePath, chain, serverData,
        [&](const std::string& key, const NodePtr& child) { ranking.rank(key, child); });
  } else {
    std::unordered_set<std::string> changed = std::move(ranking.touched_);
    ranking.touched_.clear();
    const NodePtr& before = ranking.server_;
    if (before.get() != serverData.get()) {
      static const ChildMap kNoChildren;
      const ChildMap& beforeChildren = before->isLeafNode() ? kNoChildren : before->children();
      const ChildMap& nowChildren = serverData->isLeafNode() ? kNoChildren : serverData->children();
      beforeChildren.forEachDifference(
          nowChildren, [](const NodePtr& a, const NodePtr& b) { return a.get() == b.get(); },
          [&](const std::string& key) { changed.insert(key); });
    }
    for (const std::string& key : changed) {
      ranking.rank(key, completeChildBelow(treePath, chain, serverData, key));
    }
  }
  ranking.server_ = serverData;
}

std::vector<NamedNode> WriteTree::calcIndexedSlice(
    const Path& treePath, const NodePtr& completeServerData, const NamedNode& startPost,
    size_t count, bool reverse, const IndexPtr& index,
    const std::shared_ptr<ChildRanking>& ranking) const {
  if (count == 0) return {};
  Chain chain = nodesTo(treePath);
  const bool written = writtenAtOrAbove(chain);
  if (ranking && !written) {
    if (!completeServerData) return {};
    if (ranking->treeId_ != id_) rankings_.push_back(ranking);
    rankChildren(*ranking, treePath, chain, completeServerData, index);
    return ranking->after(startPost, count, reverse);
  }
  // The `count` first children after the post, kept in order: one pass over the children, so
  // nothing is sorted or indexed whatever their number. Each child's index value is found once;
  // the slice keeps those of its children beside them.
  struct Ranked {
    const Node* value;
    NamedNode child;
  };
  std::vector<Ranked> slice;
  slice.reserve(count + 1);
  // Whether a comes before b in the slice's direction.
  auto before = [&](const Node& valueA, std::string_view nameA, const Node& valueB,
                    std::string_view nameB) {
    return (reverse ? Index::compareIndexed(valueB, nameB, valueA, nameA)
                    : Index::compareIndexed(valueA, nameA, valueB, nameB)) < 0;
  };
  const Node& postValue = index->indexedValue(*startPost.node);
  auto offer = [&](const std::string& key, const NodePtr& child) {
    if (child->isEmpty()) return;
    const Node& value = index->indexedValue(*child);
    // Once the slice is full most children fall behind its last one: test that first.
    if (slice.size() == count &&
        !before(value, key, *slice.back().value, slice.back().child.name)) {
      return;
    }
    if (!before(postValue, startPost.name, value, key)) return;
    if (slice.size() == count) slice.pop_back();
    auto at = std::partition_point(slice.begin(), slice.end(), [&](const Ranked& r) {
      return !before(value, key, *r.value, r.child.name);
    });
    // The value lives in the child, which the slice now holds.
    slice.insert(at, Ranked{&value, NamedNode(key, child)});
  };
  if (written) {
    NodePtr data = visibleData(treePath, completeServerData);
    if (data && !data->isLeafNode()) {
      for (const auto& entry : data->children()) offer(entry.key, entry.value);
    }
  } else if (completeServerData) {
    forEachCompleteChild(treePath, chain, completeServerData, offer);
  }
  std::vector<NamedNode> nodes;
  nodes.reserve(slice.size());
  for (Ranked& ranked : slice) nodes.push_back(std::move(ranked.child));
  return nodes;
}

WriteTreeRef WriteTree::childWrites(const Path& path) const { return WriteTreeRef(path, this); }

}  // namespace dz::database
