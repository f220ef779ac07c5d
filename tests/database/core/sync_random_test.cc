// Randomized check of the sync tree: random server data, user writes, merges, acknowledgements
// and reverts; after every step each query's last value event must equal its filter applied
// directly to the server data with the pending writes over it, and the children rebuilt from its
// child events must equal that value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/core/sync_scenario_fixture.h"

namespace dz::database::testing {
namespace {

struct Pending {
  WriteId id;
  Path path;
  NodePtr overwrite;  // null for a merge
  CompoundWrite merge;
  bool visible;
};

NodePtr applyWrite(const NodePtr& data, const Pending& write) {
  if (write.overwrite) return data->updateChild(write.path, write.overwrite);
  NodePtr result = data;
  write.merge.enumerateWrites([&](const Path& relative, const NodePtr& node) {
    result = result->updateChild(write.path.child(relative), node);
    return false;
  });
  return result;
}

// The query's filter applied directly.
NodePtr expectedView(const QueryParams& params, const NodePtr& data) {
  if (params.loadsAllData()) return data;
  if (data->isLeafNode()) return EmptyNode::emptyNode();
  const Index& index = *params.index();
  std::vector<NamedNode> children;
  for (const auto& entry : data->children()) children.emplace_back(entry.key, entry.value);
  std::sort(children.begin(), children.end(),
            [&](const NamedNode& a, const NamedNode& b) { return index.compare(a, b) < 0; });
  NamedNode start = params.startPost();
  NamedNode end = params.endPost();
  std::vector<NamedNode> inRange;
  for (const auto& child : children) {
    if (index.compare(start, child) <= 0 && index.compare(child, end) <= 0)
      inRange.push_back(child);
  }
  if (params.limitSet() && inRange.size() > static_cast<size_t>(params.limit())) {
    size_t limit = static_cast<size_t>(params.limit());
    if (params.isViewFromLeft()) {
      inRange.resize(limit);
    } else {
      inRange.erase(inRange.begin(), inRange.end() - limit);
    }
  }
  ChildMap map;
  for (const auto& child : inRange) map = map.insert(child.name, child.node);
  return ChildrenNode::create(std::move(map));
}

struct Observer {
  QuerySpec query;
  NodePtr value;                            // from the last value event
  std::map<std::string, NodePtr> children;  // rebuilt from child events
  bool sawValue = false;
};

class RandomRun {
 public:
  explicit RandomRun(uint32_t seed) : random_(seed) {
    auto provider = std::make_shared<ListenProvider>();
    provider->setStartListening([this](const QuerySpec& q, std::optional<QueryTag>,
                                       std::shared_ptr<const SyncTreeHash>, ListenCompletion done) {
      completions_[q.description()] = std::move(done);
      return Events{};
    });
    tree_ = SyncTree::create(provider);
    clock_ = std::make_shared<OffsetClock>(SystemClock::clock(), 0.0);
  }

  std::string randomKey() { return std::string(1, static_cast<char>('a' + pick(5))); }
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  NodePtr randomValue(int depth) {
    size_t kind = pick(depth > 0 ? 4 : 3);
    if (kind == 0) return EmptyNode::emptyNode();
    if (kind == 1 || depth == 0) return node(std::to_string(pick(6)));
    if (kind == 2) {
      return node(R"({"v":)" + std::to_string(pick(6)) + R"(,"w":)" + std::to_string(pick(3)) +
                  "}");
    }
    NodePtr result = EmptyNode::emptyNode();
    size_t n = 1 + pick(4);
    for (size_t i = 0; i < n; ++i)
      result = result->updateImmediateChild(randomKey(), randomValue(depth - 1));
    return result;
  }

  Path randomPath() {
    std::vector<std::string> keys;
    size_t depth = pick(3);
    for (size_t i = 0; i < depth; ++i) keys.push_back(i == 1 ? (pick(2) ? "v" : "w") : randomKey());
    return Path(keys);
  }

  CompoundWrite randomMerge() {
    CompoundWrite merge;
    size_t n = 1 + pick(3);
    for (size_t i = 0; i < n; ++i) {
      Path p = pick(3) ? Path(std::vector<std::string>{randomKey()})
                       : Path(std::vector<std::string>{randomKey(), pick(2) ? "v" : "w"});
      merge = merge.addWrite(p, randomValue(p.size() > 1 ? 0 : 1));
    }
    return merge;
  }

  void observe(const QuerySpec& q) {
    size_t index = observers_.size();
    observers_.push_back(Observer{q, nullptr, {}, false});
    ChildEventRegistration::Callbacks callbacks;
    callbacks[EventType::ChildAdded] = [this, index](const DataEvent& e) {
      auto& children = observers_[index].children;
      EXPECT_FALSE(children.count(*e.childKey)) << "added twice " << *e.childKey;
      children[*e.childKey] = e.snapshot.node();
    };
    callbacks[EventType::ChildRemoved] = [this, index](const DataEvent& e) {
      EXPECT_TRUE(observers_[index].children.erase(*e.childKey))
          << "removed unknown " << *e.childKey;
    };
    callbacks[EventType::ChildChanged] = [this, index](const DataEvent& e) {
      auto& children = observers_[index].children;
      EXPECT_TRUE(children.count(*e.childKey)) << "changed unknown " << *e.childKey;
      children[*e.childKey] = e.snapshot.node();
    };
    callbacks[EventType::Value] = [this, index](const DataEvent& e) {
      observers_[index].value = e.snapshot.node();
      observers_[index].sawValue = true;
    };
    fire(tree_->addEventRegistration(
        ChildEventRegistration::create(observers_.size(), std::move(callbacks)), q));
  }

  void fire(const Events& events) {
    for (const Event& event : events) event.fire();
  }

  NodePtr localData() const {
    NodePtr data = server_;
    for (const auto& write : pending_) {
      if (write.visible) data = applyWrite(data, write);
    }
    return data;
  }

  void check(const std::string& step) {
    NodePtr local = localData();
    for (const auto& observer : observers_) {
      Path relative = Path::relativePath(root_, observer.query.path());
      NodePtr expected = expectedView(observer.query.params(), local->getChild(relative));
      ASSERT_TRUE(observer.sawValue) << step;
      ASSERT_TRUE(observer.value->equals(*expected))
          << step << "\nquery " << observer.query.description() << "\nview     "
          << observer.value->description() << "\nexpected " << expected->description();
      NodePtr rebuilt = EmptyNode::emptyNode();
      for (const auto& [key, child] : observer.children)
        rebuilt = rebuilt->updateImmediateChild(key, child);
      NodePtr valueChildren = observer.value->isLeafNode()
                                  ? EmptyNode::emptyNode()
                                  : ChildrenNode::create(observer.value->children());
      ASSERT_TRUE(rebuilt->equals(*valueChildren))
          << step << "\nquery " << observer.query.description() << "\nfrom child events "
          << rebuilt->description() << "\nvalue " << observer.value->description();
    }
  }

  void run(int steps) {
    server_ = randomValue(2);
    observe(QuerySpec::defaultQueryAtPath(root_));
    fire(tree_->applyServerOverwrite(root_, server_));
    fire(completions_.at(QuerySpec::defaultQueryAtPath(root_).description())("ok"));
    observe(QuerySpec(root_, byChild("v").limitToFirst(2)));
    observe(QuerySpec(root_, byKey().startAt(leaf(R"("b")")).endAt(leaf(R"("d")"))));
    observe(QuerySpec(root_, byValue().limitToLast(3)));
    observe(QuerySpec(
        root_, byChild("v").startAt(leaf("2"), std::string("b")).endAt(leaf("4")).limitToFirst(2)));
    observe(QuerySpec(root_, byKey().limitToLast(1)));
    observe(QuerySpec(root_, byChild("w").endAt(leaf("1"))));
    observe(QuerySpec::defaultQueryAtPath(root_.child("a")));
    check("start");
    WriteId nextId = 1;
    for (int step = 0; step < steps; ++step) {
      std::string what;
      size_t op = pick(10);
      if (op <= 1) {
        Path p = randomPath();
        NodePtr value = randomValue(p.size() >= 2 ? 0 : 2 - static_cast<int>(p.size()));
        what = "server set " + p.toString() + " " + value->description();
        server_ = server_->updateChild(p, value);
        fire(tree_->applyServerOverwrite(root_.child(p), value));
      } else if (op == 2) {
        CompoundWrite m = randomMerge();
        what = "server merge " + m.valForExport(true).toJsonString();
        server_ = applyWrite(server_, Pending{0, Path(), nullptr, m, true});
        fire(tree_->applyServerMerge(root_, m));
      } else if (op <= 4) {
        Path p = randomPath();
        NodePtr value = randomValue(p.size() >= 2 ? 0 : 2 - static_cast<int>(p.size()));
        bool visible = pick(8) != 0;
        what = "user set " + std::to_string(nextId) + " " + p.toString() + " " +
               value->description() + (visible ? "" : " hidden");
        pending_.push_back(Pending{nextId, p, value, CompoundWrite(), visible});
        fire(tree_->applyUserOverwrite(root_.child(p), value, nextId++, visible));
      } else if (op == 5) {
        CompoundWrite m = randomMerge();
        what = "user merge " + std::to_string(nextId) + " " + m.valForExport(true).toJsonString();
        pending_.push_back(Pending{nextId, Path(), nullptr, m, true});
        fire(tree_->applyUserMerge(root_, m, nextId++));
      } else if (op <= 8 && !pending_.empty()) {
        Pending write = pending_.front();
        bool revert = pick(3) == 0;
        what = "ack " + std::to_string(write.id) + (revert ? " revert" : "");
        pending_.erase(pending_.begin());
        if (!revert) {
          // The server applies the write and echoes it before acknowledging.
          server_ = applyWrite(server_, write);
          if (write.overwrite) {
            fire(tree_->applyServerOverwrite(root_.child(write.path), write.overwrite));
          } else {
            fire(tree_->applyServerMerge(root_.child(write.path), write.merge));
          }
        }
        fire(tree_->ackUserWrite(write.id, revert, true, *clock_));
      } else if (op == 9 && pick(4) == 0) {
        what = "remove all writes";
        pending_.clear();
        fire(tree_->removeAllWrites());
      } else {
        continue;
      }
      history_ += what + "\n";
      check(std::getenv("DZ_SYNC_RANDOM_HISTORY") ? history_
                                                  : "step " + std::to_string(step) + ": " + what +
                                                        "\nlocal " + localData()->description());
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

 private:
  std::mt19937 random_;
  Path root_{"/r"};
  std::shared_ptr<SyncTree> tree_;
  std::shared_ptr<OffsetClock> clock_;
  std::map<std::string, ListenCompletion> completions_;
  std::vector<Observer> observers_;
  std::vector<Pending> pending_;
  NodePtr server_;
  std::string history_;
};

TEST(SyncTreeRandomized, ViewsMatchTheDirectComputation) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomRun run(seed);
    run.run(150);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace dz::database::testing
