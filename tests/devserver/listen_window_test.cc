// Query windows and compound-hash ranges against direct computations on random data: the window
// a listen is sent after any sequence of writes (whole, or child by child without a limit) is
// exactly the children a query selects, the server's range hashes are the client's, and the
// ranges sent for a compound hash turn the client's data into the server's.
#include "tools/devserver/listen_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/serialize.hpp>

#include "database/snapshot/compound_hash.h"
#include "database/snapshot/index.h"
#include "database/snapshot/query_params.h"
#include "database/snapshot/range_merge.h"
#include "tests/database/snapshot/random_node_fixture.h"
#include "tests/devserver/random_queries.h"
#include "tools/devserver/database_tree.h"

namespace dz::devserver {
namespace {

using database::ChildMap;
using database::ChildrenNode;
using database::Index;
using database::IndexPtr;
using database::NamedNode;
using database::NodePtr;
using database::Path;
using database::QueryParams;
using database::SnapshotUtilities;

// The children the query selects, sorted, bounded and limited by hand.
NodePtr expectedWindow(const NodePtr& data, const QueryParams& params) {
  if (data->isLeafNode()) return database::EmptyNode::emptyNode();
  const Index& index = *params.index();
  std::vector<NamedNode> children;
  for (const auto& entry : data->children()) {
    NamedNode child(entry.key, entry.value);
    if (index.compare(params.startPost(), child) <= 0 &&
        index.compare(child, params.endPost()) <= 0)
      children.push_back(child);
  }
  std::sort(children.begin(), children.end(),
            [&](const NamedNode& a, const NamedNode& b) { return index.less(a, b); });
  if (params.limitSet() && children.size() > static_cast<size_t>(params.limit())) {
    size_t limit = static_cast<size_t>(params.limit());
    if (params.isViewFromLeft()) {
      children.resize(limit);
    } else {
      children.erase(children.begin(), children.end() - static_cast<std::ptrdiff_t>(limit));
    }
  }
  ChildMap map;
  for (const NamedNode& child : children) map = map.insert(child.name, child.node);
  return ChildrenNode::create(std::move(map));
}

using testing::RandomQueries;

boost::json::value wireQuery(const QueryParams& params) {
  return Value(params.wireProtocolParams()).toJson();
}

TEST(ListenWindowTest, WindowFollowsRandomWrites) {
  size_t byChild = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    RandomQueries random(seed);
    QueryParams params = random.params();
    if (params.loadsAllData()) {
      QueryParams bounded = params.startAt(database::EmptyNode::emptyNode());
      params = random.chance(50) && bounded.isValid() ? bounded : params.limitToFirst(2);
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + " query " + params.description());
    auto window = ListenWindow::create(wireQuery(params));
    ASSERT_TRUE(window && window->filtered());
    NodePtr data = database::EmptyNode::emptyNode();
    for (int i = 0; i < 8; ++i) data = data->updateImmediateChild(random.key(), random.child());
    NodePtr sent = window->reset(data);
    ASSERT_TRUE(sent->equals(*expectedWindow(data, params))) << sent->description();
    for (int step = 0; step < 40; ++step) {
      std::set<std::string> keys;
      int kind = random.below(10);
      std::string key = random.key();
      Path written(std::vector<std::string>{key});
      NodePtr value = database::EmptyNode::emptyNode();
      if (kind == 0) {
        data = random.chance(50) ? random.node(2) : random.child();
        written = Path();
        value = data;
      } else if (kind < 3) {
        keys.insert(key);
      } else if (kind < 5) {
        written = Path({key, "v"});
        value = SnapshotUtilities::nodeFrom(random.leaf());
        keys.insert(key);
      } else {
        value = random.child();
        keys.insert(key);
      }
      data = data->updateChild(written, value);
      NodePtr expected = expectedWindow(data, params);
      // The client applies each push to the window it holds.
      for (const WindowChange& change : window->update(data, keys)) {
        NodePtr before = sent;
        switch (change.kind) {
          case WindowChange::Kind::kWhole:
            sent = change.data;
            break;
          case WindowChange::Kind::kWritten:
            EXPECT_EQ(change.key, key);
            sent = sent->updateChild(written, value);
            break;
          case WindowChange::Kind::kEntered:
          case WindowChange::Kind::kLeft:
            EXPECT_EQ(change.kind == WindowChange::Kind::kLeft, change.data->isEmpty());
            sent = sent->updateImmediateChild(change.key, change.data);
            break;
        }
        if (params.limitSet()) {
          EXPECT_EQ(change.kind, WindowChange::Kind::kWhole);
        }
        if (change.kind != WindowChange::Kind::kWhole) ++byChild;
        ASSERT_FALSE(sent->equals(*before)) << "a push that changed nothing, step " << step;
      }
      ASSERT_TRUE(sent->equals(*expected))
          << "step " << step << ": " << sent->description() << " != " << expected->description();
    }
  }
  EXPECT_GT(byChild, 500u) << "windows without a limit went out whole";
}

TEST(ListenWindowTest, UnfilteredAndMalformedQueries) {
  EXPECT_FALSE(ListenWindow::create(nullptr)->filtered());
  EXPECT_FALSE(
      ListenWindow::create(wireQuery(QueryParams().orderBy(database::KeyIndex::keyIndex())))
          ->filtered());
  EXPECT_FALSE(ListenWindow::create(parseJsonText(R"({"l": "two", "vf": "l"})").value()));
  EXPECT_FALSE(ListenWindow::create(parseJsonText(R"({"i": ""})").value()));
  EXPECT_FALSE(ListenWindow::create(parseJsonText("[1]").value()));
}

// A compound hash of the client's data in the form a listen carries it.
boost::json::value compoundHashJson(const database::Node& node, size_t targetRangeBytes) {
  auto hash = database::CompoundHash::fromNode(node, targetRangeBytes);
  boost::json::array posts, hashes;
  for (const Path& post : hash.posts) posts.emplace_back(post.wireFormat());
  for (const std::string& text : hash.hashes) hashes.emplace_back(text);
  return boost::json::object{{"ps", posts}, {"hs", hashes}};
}

TEST(ListenWindowTest, DifferingRangesTurnTheClientsDataIntoTheServers) {
  size_t partial = 0;
  for (uint32_t seed = 1; seed <= 1500; ++seed) {
    database::testing::RandomValues random(seed);
    NodePtr client = random.node(4);
    NodePtr server = client;
    int changes = random.below(4);
    for (int i = 0; i < changes; ++i) {
      Path where({random.key(), random.key()});
      if (random.chance(30)) where = Path(std::vector<std::string>{random.key()});
      server = server->updateChild(
          where, random.chance(20) ? database::EmptyNode::emptyNode() : random.node(2));
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + " client " + client->description() + " server " +
                 server->description());
    auto hashJson = compoundHashJson(*client, 1 + random.below(80));
    auto ranges = differingRanges(*server, hashJson);
    ASSERT_TRUE(ranges);
    NodePtr result = client;
    for (const auto& item : *ranges) {
      const auto& range = item.as_object();
      auto pathOf = [&](const char* key) -> std::optional<Path> {
        if (!range.contains(key)) return std::nullopt;
        return Path(std::string_view(range.at(key).as_string()));
      };
      database::RangeMerge merge(pathOf("s"), pathOf("e"),
                                 SnapshotUtilities::nodeFromJson(range.at("m")));
      result = merge.applyTo(result);
    }
    ASSERT_TRUE(result->equals(*server)) << result->description();
    if (server->equals(*client)) {
      EXPECT_TRUE(ranges->empty());
    } else if (ranges->size() < hashJson.at("hs").as_array().size()) {
      ++partial;
    }
  }
  EXPECT_GT(partial, 50u) << "ranges that did not change were sent";
}

// The server hashes ranges by its own walk of the entries: the same hashes as the client's over
// the client's own posts, and over any posts (a client with other data, or none of its own).
TEST(ListenWindowTest, RangeHashesAgreeWithTheClients) {
  size_t cases = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    RandomQueries random(seed);
    NodePtr data = random.node(random.below(5));
    SCOPED_TRACE("seed " + std::to_string(seed) + " data " + data->description());
    auto own = database::CompoundHash::fromNode(*data, 1 + random.below(120));
    EXPECT_EQ(rangeHashes(*data, own.posts), own.hashes);
    std::vector<Path> posts = database::CompoundHash::fromNode(*random.node(4), 30).posts;
    for (int i = random.below(4); i > 0; --i) {
      std::vector<std::string> keys;
      for (int depth = random.below(4); depth > 0; --depth) {
        keys.push_back(random.chance(10) ? std::string(database::kPriorityKey) : random.key());
      }
      posts.insert(posts.begin() + random.below(static_cast<int>(posts.size()) + 1), Path(keys));
    }
    EXPECT_EQ(rangeHashes(*data, posts), database::CompoundHash::hashesForPosts(*data, posts));
    cases += 2;
  }
  EXPECT_EQ(cases, 6000u);
}

TEST(ListenWindowTest, MalformedCompoundHashes) {
  NodePtr data = SnapshotUtilities::nodeFrom(Value(Value::Map{{"a", 1}}));
  for (const char* text : {R"({"ps": [], "hs": []})", R"({"ps": ["a"], "hs": ["x"]})",
                           R"({"ps": [1], "hs": ["x", "y"]})", R"({"hs": ["x"]})", "[]"}) {
    EXPECT_FALSE(differingRanges(*data, parseJsonText(text).value())) << text;
  }
  auto ranges = differingRanges(*data, parseJsonText(R"({"ps": [], "hs": ["x"]})").value());
  ASSERT_TRUE(ranges);
  EXPECT_EQ(boost::json::serialize(*ranges), R"([{"m":{"a":1}}])");
}

}  // namespace
}  // namespace dz::devserver
