// WriteTree: the pending user writes (overwrites and merges, in write-id order). Local data is the
// server data with the visible writes applied one by one in that order (a write below a leaf
// replaces the leaf, so order matters). A tree of the paths the writes write (an overwrite's path,
// each child of a merge) finds the writes at, above and below a location without looking at the
// others, so each operation costs what the writes around its path cost. WriteTreeRef is the write
// tree seen from one path. Owned by the sync tree; work queue only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/core/view/cache_node.h"
#include "database/persistence/write_record.h"
#include "database/snapshot/compound_write.h"
#include "database/snapshot/index.h"
#include "database/snapshot/key_order.h"
#include "database/snapshot/named_node.h"
#include "database/snapshot/node.h"
#include "database/snapshot/path.h"

namespace dz::database {

class WriteTreeRef;

// The complete children at one location ranked in one index order, kept between slices of a
// write tree: the tree notes which children its writes touch, and the next slice re-ranks only
// those and the children the server data changed, so it finds the children after a post with a
// look-up rather than a pass over every child. Held by whoever asks for slices again and again
// (a limited view), and freed with it; work queue only.
class ChildRanking {
 public:
  ChildRanking() = default;
  ChildRanking(const ChildRanking&) = delete;
  ChildRanking& operator=(const ChildRanking&) = delete;

 private:
  friend class WriteTree;
  // A child and what it sorts by (which lives in the child); the name views the key in byKey_.
  struct Ranked {
    const Node* value;
    std::string_view name;
    NodePtr child;
  };
  struct RankedLess {
    bool operator()(const Ranked& a, const Ranked& b) const {
      return Index::compareIndexed(*a.value, a.name, *b.value, b.name) < 0;
    }
  };
  using Order = std::set<Ranked, RankedLess>;

  // Ranks the child under `key` anew (an empty child leaves the ranking).
  void rank(const std::string& key, const NodePtr& child);
  void clear();
  // Up to `count` ranked children after `post` (before it, reversed).
  std::vector<NamedNode> after(const NamedNode& post, size_t count, bool reverse) const;

  // The write tree that notes its writes here (0 for none yet), for the location and index.
  uint64_t treeId_ = 0;
  Path path_;
  IndexPtr index_;
  // The server data ranked; null before the first ranking.
  NodePtr server_;
  // Children that writes touched since the last ranking.
  std::unordered_set<std::string> touched_;
  Order order_;
  std::unordered_map<std::string, Order::iterator> byKey_;
};

class WriteTree {
 public:
  WriteTree();

  // Records a write. Write ids must increase; a smaller id is refused (false) and recorded nowhere.
  bool addOverwrite(const Path& path, NodePtr snap, WriteId writeId, bool visible);
  bool addMerge(const Path& path, const CompoundWrite& changedChildren, WriteId writeId);

  // The write with the id, or none.
  const WriteRecord* write(WriteId writeId) const;
  // Removes the write; true when the visible data may have changed (views must re-evaluate): for
  // every visible write, since even one that a later write covers may have turned a leaf above
  // it into children. False for an unknown id or a hidden write.
  bool removeWrite(WriteId writeId);
  // Removes every write and returns them.
  std::vector<WriteRecord> removeAllWrites();

  // The complete data the visible writes alone give `path`, or null.
  NodePtr shadowingWrite(const Path& path) const;

  // The data at `treePath` with the visible pending writes (and the hidden ones when asked, less
  // the excluded ids) applied in id order over the complete server data (null when not
  // complete). Null when no complete data results.
  NodePtr calcCompleteEventCache(const Path& treePath, const NodePtr& completeServerCache,
                                 const std::set<WriteId>& writeIdsToExclude = {},
                                 bool includeHiddenWrites = false) const;
  // The priority of that data (empty when it has none or is empty), or null when it is not known.
  // Found without layering the writes unless one of them may give the location a priority or
  // empty it on the way.
  NodePtr calcCompletePriority(const Path& treePath, const NodePtr& completeServerCache) const;
  // The children at `treePath` that are complete with the writes over the given server children.
  NodePtr calcCompleteEventChildren(const Path& treePath,
                                    const NodePtr& completeServerChildren) const;
  // The new event data at `treePath/childPath` after the server changed it, or null when a
  // visible write shadows it.
  NodePtr calcEventCacheAfterServerOverwrite(const Path& treePath, const Path& childPath,
                                             const NodePtr& existingEventSnap,
                                             const NodePtr& existingServerSnap) const;
  // The complete child with the writes, or null when it is not known.
  NodePtr calcCompleteChild(const Path& treePath, const std::string& childKey,
                            const CacheNode& existingServerSnap) const;
  // Up to `count` children after `startPost` in index order (or before it, reversed), with the
  // writes over the complete server data. With a ranking, the children stay ranked there for
  // the next slice at the location in the index.
  std::vector<NamedNode> calcIndexedSlice(const Path& treePath, const NodePtr& completeServerData,
                                          const NamedNode& startPost, size_t count, bool reverse,
                                          const IndexPtr& index,
                                          const std::shared_ptr<ChildRanking>& ranking = {}) const;

  WriteTreeRef childWrites(const Path& path) const;

 private:
  NodePtr visibleData(const Path& path, const NodePtr& base) const;
  bool hasShadowingWrite(const Path& path) const;
  struct Pending;
  // One location of the tree of written paths: the writes that write exactly here (in increasing
  // id order), how many visible ones write here, and here or below, and how many writes (visible
  // or not) remove data here or below. `layered` is the visible data here over `layeredBase` as
  // last found when no visible write lay above; a write coming or going at or below forgets it.
  struct PathNode {
    std::vector<const Pending*> writes;
    size_t visibleHere = 0;
    size_t visibleAtOrBelow = 0;
    size_t removalsAtOrBelow = 0;
    std::map<std::string, std::unique_ptr<PathNode>, KeyLess> children;
    mutable NodePtr layeredBase;
    mutable NodePtr layered;
    void forgetLayered() {
      layeredBase = nullptr;
      layered = nullptr;
    }
  };
  // A place a write writes (an overwrite's path, or a child path of a merge after the merge's
  // path), whether it sets data there, and its location in the tree of written paths.
  struct Place {
    Path path;
    bool setsData = false;
    const PathNode* node = nullptr;
  };
  // A pending write and its places, found once when it is added so that layering reads them
  // without walking a merge again.
  struct Pending {
    WriteRecord record;
    std::vector<Place> places;
  };
  void add(WriteRecord record);
  void index(Pending& write);
  void unindex(const Pending& write);
  // The nodes from the root down to a path as far as they exist.
  using Chain = std::vector<const PathNode*>;
  Chain nodesTo(const Path& path) const;
  // The data at `path` (reached by `chain`) with the included writes applied one by one in id
  // order over `base` (the server data there, or null when unknown); null when neither covers
  // the location.
  template <class Include>
  NodePtr layeredData(const Path& path, const Chain& chain, const NodePtr& base,
                      const Include& include) const;
  // The writes at, above or below `path` (reached by `chain`), newest first.
  std::vector<const Pending*> writesAround(const Path& path, const Chain& chain) const;
  bool writtenAtOrAbove(const Chain& chain) const;
  // Calls visit(key, child) for every complete child at `treePath` (reached by `chain`) when
  // every write there lies below one child.
  template <class Visit>
  void forEachCompleteChild(const Path& treePath, const Chain& chain, const NodePtr& serverData,
                            const Visit& visit) const;
  // The complete child under `key` in the same case.
  NodePtr completeChildBelow(const Path& treePath, const Chain& chain, const NodePtr& serverData,
                             const std::string& key) const;
  // The child under `key`, written at or below `node`, over `base`.
  NodePtr writtenChild(const Path& treePath, const std::string& key, const PathNode& node,
                       const NodePtr& base) const;
  void rankChildren(ChildRanking& ranking, const Path& treePath, const Chain& chain,
                    const NodePtr& serverData, const IndexPtr& index) const;
  // Tells the rankings that a write at `path` came or went.
  void noteWritten(const Path& path);

  PathNode paths_;
  std::map<WriteId, Pending> writes_;
  std::optional<WriteId> lastWriteId_;
  const uint64_t id_;
  mutable std::vector<std::weak_ptr<ChildRanking>> rankings_;
};

class WriteTreeRef {
 public:
  WriteTreeRef(Path treePath, const WriteTree* writeTree)
      : treePath_(std::move(treePath)), writeTree_(writeTree) {}

  const Path& path() const { return treePath_; }
  NodePtr calcCompleteEventCache(const NodePtr& completeServerCache) const {
    return writeTree_->calcCompleteEventCache(treePath_, completeServerCache);
  }
  NodePtr calcCompleteEventChildren(const NodePtr& completeServerChildren) const {
    return writeTree_->calcCompleteEventChildren(treePath_, completeServerChildren);
  }
  NodePtr calcCompletePriority(const NodePtr& completeServerCache) const {
    return writeTree_->calcCompletePriority(treePath_, completeServerCache);
  }
  NodePtr calcEventCacheAfterServerOverwrite(const Path& path, const NodePtr& existingEventSnap,
                                             const NodePtr& existingServerSnap) const {
    return writeTree_->calcEventCacheAfterServerOverwrite(treePath_, path, existingEventSnap,
                                                          existingServerSnap);
  }
  NodePtr shadowingWrite(const Path& path) const {
    return writeTree_->shadowingWrite(treePath_.child(path));
  }
  std::vector<NamedNode> calcIndexedSlice(const NodePtr& completeServerData,
                                          const NamedNode& startPost, size_t count, bool reverse,
                                          const IndexPtr& index,
                                          const std::shared_ptr<ChildRanking>& ranking = {}) const {
    return writeTree_->calcIndexedSlice(treePath_, completeServerData, startPost, count, reverse,
                                        index, ranking);
  }
  NodePtr calcCompleteChild(const std::string& childKey,
                            const CacheNode& existingServerCache) const {
    return writeTree_->calcCompleteChild(treePath_, childKey, existingServerCache);
  }
  WriteTreeRef child(const std::string& childKey) const {
    return WriteTreeRef(treePath_.child(childKey), writeTree_);
  }

 private:
  Path treePath_;
  const WriteTree* writeTree_;
};

}  // namespace dz::database
