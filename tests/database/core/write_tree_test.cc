// The write tree's indexed slices against a plain model: the writes applied one by one in id
// order over the whole tree, the children sorted by the index. Random writes below the children,
// at the list and above it, hidden writes, removals and server changes, so that a layered child
// kept from an earlier slice, and children kept ranked from one slice to the next, are checked
// after every kind of change.
#include "database/core/write_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

NodePtr leaf(int64_t value) { return SnapshotUtilities::nodeFrom(Value(value)); }

class SliceModel {
 public:
  explicit SliceModel(uint32_t seed, int keys = 12) : random_(seed), keys_(keys) {
    for (int i = 0; i < keys_; ++i) {
      if (pick(4) != 0) server_ = server_->updateImmediateChild(key(i), record(pick(20)));
    }
  }

  void step() {
    switch (pick(10)) {
      case 0:
      case 1:
        overwrite(list_.child(Path(key(pick(keys_)) + "/v")),
                  pick(5) == 0 ? nullptr : leaf(pick(20)));
        break;
      case 2:
        overwrite(list_.child(key(pick(keys_))), pick(3) == 0 ? nullptr : record(pick(20)));
        break;
      case 3: {
        CompoundWrite merge;
        for (int i = 0, n = 1 + pick(3); i < n; ++i) {
          merge = merge.addWrite(Path(key(pick(keys_)) + "/v"), leaf(pick(20)));
        }
        writes_.addMerge(list_, merge, nextId_);
        add(WriteRecord::merge(nextId_++, list_, merge));
        break;
      }
      case 4:
        // Above the list: every child comes from the layered list then.
        if (pick(3) == 0) overwrite(pick(2) ? list_ : Path(), pick(2) ? record(pick(20)) : nullptr);
        break;
      case 5: {
        // A hidden write changes nothing that is seen.
        Path path = list_.child(Path(key(pick(keys_)) + "/v"));
        NodePtr value = leaf(pick(20));
        writes_.addOverwrite(path, value, nextId_, false);
        add(WriteRecord::overwrite(nextId_++, path, value, false));
        break;
      }
      case 6:
      case 7:
        if (pick(25) == 0) {
          writes_.removeAllWrites();
          records_.clear();
        } else if (!records_.empty()) {
          auto it = std::next(records_.begin(), pick(static_cast<int>(records_.size())));
          writes_.removeWrite(it->first);
          records_.erase(it);
        }
        break;
      case 8:
        if (pick(4) == 0) {
          // The same server children in a map built anew, shaped apart from the last one.
          std::vector<std::pair<std::string, NodePtr>> children;
          for (const auto& entry : server_->children())
            children.emplace_back(entry.key, entry.value);
          server_ = ChildrenNode::create(ChildMap::fromEntries(std::move(children)));
          break;
        }
        [[fallthrough]];
      default:
        // The server moves on: the other children keep their nodes.
        server_ = server_->updateImmediateChild(
            key(pick(keys_)), pick(4) == 0 ? EmptyNode::emptyNode() : record(pick(20)));
        break;
    }
  }

  // Every slice of the list from a few posts, both ways, against the model; every fourth time
  // the same by key too.
  void check() {
    std::vector<NamedNode> posts{index_->minPost(), index_->maxPost()};
    for (int i = 0; i < 3; ++i) posts.push_back(index_->makePost(leaf(pick(20)), key(pick(keys_))));
    checkSlices(index_, posts, ranking_);
    if (++checks_ % 4 == 0) {
      const IndexPtr& byKey = KeyIndex::keyIndex();
      // Now and then the ranking of the other index is asked for this one.
      checkSlices(byKey, {byKey->minPost(), byKey->maxPost(), byKey->makePost(nullptr, key(5))},
                  checks_ % 8 == 0 ? ranking_ : keyRanking_);
    }
    // A ranking let go is forgotten by the write tree, and a new one starts from nothing.
    if (checks_ % 16 == 0) ranking_ = std::make_shared<ChildRanking>();
  }

  void checkSlices(const IndexPtr& index, const std::vector<NamedNode>& posts,
                   const std::shared_ptr<ChildRanking>& ranking) {
    NodePtr expected = visibleList();
    std::vector<NamedNode> ordered;
    if (!expected->isLeafNode()) {
      for (const auto& entry : expected->children()) ordered.emplace_back(entry.key, entry.value);
    }
    for (const NamedNode& post : posts) {
      for (bool reverse : {false, true}) {
        auto before = [&](const NamedNode& a, const NamedNode& b) {
          return (reverse ? index->compare(b, a) : index->compare(a, b)) < 0;
        };
        std::vector<NamedNode> after;
        for (const NamedNode& child : ordered) {
          if (before(post, child)) after.push_back(child);
        }
        std::sort(after.begin(), after.end(), before);
        for (size_t count : {size_t{1}, size_t{3}}) {
          std::vector<NamedNode> want(
              after.begin(), after.begin() + static_cast<long>(std::min(count, after.size())));
          EXPECT_EQ(writes_.calcIndexedSlice(list_, server_, post, count, reverse, index), want)
              << "post " << post.name << (reverse ? " reversed" : "") << " count " << count;
          EXPECT_EQ(writes_.calcIndexedSlice(list_, server_, post, count, reverse, index, ranking),
                    want)
              << "ranked, post " << post.name << (reverse ? " reversed" : "") << " count " << count;
        }
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }
  static std::string key(int i) { return "k" + std::to_string(10 + i); }
  static NodePtr record(int v) {
    return EmptyNode::emptyNode()
        ->updateImmediateChild("v", leaf(v))
        ->updateImmediateChild("w", leaf(1));
  }

  void overwrite(const Path& path, NodePtr value) {
    if (!value) value = EmptyNode::emptyNode();
    writes_.addOverwrite(path, value, nextId_, true);
    add(WriteRecord::overwrite(nextId_++, path, value, true));
  }
  void add(WriteRecord record) { records_.emplace(record.writeId(), std::move(record)); }

  // The list as the visible writes leave it, applied in id order to the whole tree.
  NodePtr visibleList() const {
    NodePtr root = EmptyNode::emptyNode()->updateChild(list_, server_);
    for (const auto& [id, write] : records_) {
      if (!write.visible()) continue;
      if (write.isOverwrite()) {
        root = root->updateChild(write.path(), write.overwrite());
      } else {
        root = CompoundWrite().addWrites(write.path(), write.merge()).apply(root);
      }
    }
    return root->getChild(list_);
  }

  std::mt19937 random_;
  const int keys_;
  const Path list_{"/l"};
  const IndexPtr index_ = PathIndex::create(Path("v"));
  NodePtr server_ = EmptyNode::emptyNode();
  WriteTree writes_;
  std::map<WriteId, WriteRecord> records_;
  WriteId nextId_ = 1;
  int checks_ = 0;
  std::shared_ptr<ChildRanking> ranking_ = std::make_shared<ChildRanking>();
  std::shared_ptr<ChildRanking> keyRanking_ = std::make_shared<ChildRanking>();
};

TEST(WriteTreeSlices, MatchTheWritesAppliedInOrder) {
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    SliceModel model(seed);
    for (int step = 0; step < 50; ++step) {
      model.step();
      model.check();
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// More children than a small map holds, so the server data changes inside a tree of children.
TEST(WriteTreeSlices, MatchTheWritesAppliedInOrderOverManyChildren) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    SliceModel model(seed, 40);
    for (int step = 0; step < 80; ++step) {
      model.step();
      model.check();
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Slices of a list follow every write coming or going below it, at it, a hidden one, and a
// server node that changes and changes back.
TEST(WriteTreeSlices, FollowWritesAndServerNodes) {
  const Path list("/l");
  const IndexPtr byV = PathIndex::create(Path("v"));
  NodePtr server = EmptyNode::emptyNode();
  for (int i = 10; i < 30; ++i) {
    server = server->updateImmediateChild(
        "k" + std::to_string(i), EmptyNode::emptyNode()->updateImmediateChild("v", leaf(i - 10)));
  }
  WriteTree writes;
  auto slice = [&](const NodePtr& base, size_t count, bool reverse = false) {
    std::vector<std::string> names;
    const NamedNode post = reverse ? byV->maxPost() : byV->minPost();
    for (const NamedNode& node : writes.calcIndexedSlice(list, base, post, count, reverse, byV)) {
      names.push_back(node.name);
    }
    return names;
  };
  using Names = std::vector<std::string>;
  writes.addOverwrite(list.child(Path("k20/v")), leaf(100), 1, true);
  EXPECT_EQ(slice(server, 3), (Names{"k10", "k11", "k12"}));
  writes.addOverwrite(list.child(Path("k25/v")), leaf(-1), 2, true);
  EXPECT_EQ(slice(server, 3), (Names{"k25", "k10", "k11"}));
  EXPECT_EQ(slice(server, 1, true), (Names{"k20"}));
  writes.removeWrite(2);
  EXPECT_EQ(slice(server, 3), (Names{"k10", "k11", "k12"}));
  writes.addOverwrite(list.child("k11"), EmptyNode::emptyNode(), 3, true);
  EXPECT_EQ(slice(server, 3), (Names{"k10", "k12", "k13"}));
  NodePtr later = server->updateImmediateChild("k10", EmptyNode::emptyNode());
  EXPECT_EQ(slice(later, 3), (Names{"k12", "k13", "k14"}));
  writes.addOverwrite(
      list, EmptyNode::emptyNode()->updateImmediateChild("a", server->getImmediateChild("k15")), 4,
      true);
  EXPECT_EQ(slice(later, 3), (Names{"a"}));
  writes.removeWrite(4);
  EXPECT_EQ(slice(later, 3), (Names{"k12", "k13", "k14"}));
  writes.addOverwrite(list.child(Path("k12/v")), leaf(-5), 5, false);
  EXPECT_EQ(slice(later, 3), (Names{"k12", "k13", "k14"}));
  EXPECT_EQ(slice(server, 3), (Names{"k10", "k12", "k13"}));
  writes.removeWrite(1);
  EXPECT_EQ(slice(server, 1, true), (Names{"k29"}));
}

// Later writes below a location hide earlier ones below them, but a later removal does not: an
// earlier write below a leaf has turned the leaf into children that the removal then empties.
TEST(WriteTreeLayers, LaterWritesBelowHideOnlyWhatTheySetToData) {
  const Path list("/l");
  NodePtr server = EmptyNode::emptyNode()
                       ->updateImmediateChild("a", SnapshotUtilities::nodeFrom(Value("leaf")))
                       ->updateImmediateChild("b", leaf(1));
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, NodePtr>> writes;
  };
  const NodePtr none = EmptyNode::emptyNode();
  std::vector<Case> cases{
      {"removal over a write below a leaf", {{"a/x/y", leaf(1)}, {"a/x", none}}},
      {"data over a write below a leaf", {{"a/x/y", leaf(1)}, {"a/x", leaf(2)}}},
      {"data over data below", {{"b/x", leaf(1)}, {"b/x", leaf(2)}, {"b/z", leaf(3)}}},
      {"removal over data below", {{"b/x/y", leaf(1)}, {"b/x/y", none}, {"b/x/z", leaf(2)}}},
      {"priority over a write", {{"b/.priority", leaf(4)}, {"b/.priority", leaf(5)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteTree writes;
    NodePtr root = EmptyNode::emptyNode()->updateChild(list, server);
    WriteId id = 1;
    for (const auto& [at, value] : c.writes) {
      Path path = list.child(Path(at));
      // Every other write as a merge at the list, which layers the same way.
      if (id % 2 == 0) {
        writes.addMerge(list, CompoundWrite().addWrite(Path(at), value), id++);
      } else {
        writes.addOverwrite(path, value, id++, true);
      }
      root = root->updateChild(path, value);
    }
    NodePtr want = root->getChild(list);
    EXPECT_TRUE(nodesEqual(writes.calcCompleteEventCache(list, server), want))
        << writes.calcCompleteEventCache(list, server)->description()
        << " != " << want->description();
    for (const char* key : {"a", "b"}) {
      EXPECT_TRUE(nodesEqual(
          writes.calcCompleteChild(list, key, CacheNode(IndexedNode(server), true, false)),
          want->getImmediateChild(key)))
          << key;
    }
  }
}

}  // namespace
}  // namespace dz::database
