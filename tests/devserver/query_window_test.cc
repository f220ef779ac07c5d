// The server's own key order, value order and query windows, checked against the examples of
// docs/data-model.md and cross-checked with the client's filters (database/core/view) on random
// data and queries: both are written from the same page, so any disagreement is a fault on one
// side.
#include "tools/devserver/query_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "database/core/view/node_filter.h"
#include "database/snapshot/index.h"
#include "database/snapshot/query_params.h"
#include "tests/devserver/random_queries.h"
#include "tools/devserver/database_tree.h"

namespace dz::devserver {
namespace {

using database::IndexedNode;
using database::NodePtr;
using database::Path;
using database::QueryParams;
using database::SnapshotUtilities;

NodePtr nodeOf(std::string_view json) {
  return SnapshotUtilities::nodeFromJson(parseJsonText(json).value());
}

// The keys of the children, in key order.
std::string keysOf(const NodePtr& node) {
  std::string keys;
  for (const auto& entry : node->children()) keys += (keys.empty() ? "" : ",") + entry.key;
  return keys;
}

TEST(QueryWindowTest, KeyOrderOfTheDataModel) {
  const std::vector<std::string> ordered = {
      "[MIN_NAME]",          "0", "007", "7", "9",         "10", "9223372036854775807", "-1",
      "9223372036854775808", "A", "a",   "é", "[MAX_NAME]"};
  for (size_t i = 0; i < ordered.size(); ++i) {
    for (size_t j = 0; j < ordered.size(); ++j) {
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(keyOrder(ordered[i], ordered[j]), expected) << ordered[i] << " " << ordered[j];
    }
  }
}

TEST(QueryWindowTest, ValueOrderOfTheDataModel) {
  const std::vector<std::string> ordered = {"null",
                                            "false",
                                            "true",
                                            "-1.5",
                                            "2",
                                            "9007199254740992.0",
                                            "9007199254740993",
                                            "\"\"",
                                            "\"B\"",
                                            "\"a\"",
                                            "\"é\"",
                                            R"({".sv": "timestamp"})",
                                            R"({"a": 1})"};
  for (size_t i = 0; i < ordered.size(); ++i) {
    for (size_t j = 0; j < ordered.size(); ++j) {
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(valueOrder(*nodeOf(ordered[i]), *nodeOf(ordered[j])), expected)
          << ordered[i] << " " << ordered[j];
    }
  }
  // Equal numbers across int64 and double, and children nodes whatever they hold.
  EXPECT_EQ(valueOrder(*nodeOf("1"), *nodeOf("1.0")), 0);
  EXPECT_EQ(valueOrder(*nodeOf(R"({"a": 1})"), *nodeOf(R"({"b": [2]})")), 0);
}

TEST(QueryWindowTest, WireParametersSelectTheirWindow) {
  NodePtr data = nodeOf(R"({"a": {"v": 3}, "b": {"v": 2}, "c": {"v": 2}, "d": {"v": "x"},
                            "e": {"w": 1}, "f": {"v": 2, ".priority": 1}, ".priority": 5})");
  struct Case {
    const char* query;
    const char* keys;
  };
  const Case cases[] = {
      {R"({"i": "v", "sp": 2, "sn": "c", "ep": 3})", "a,c,f"},
      {R"({"i": "v", "sp": 2, "l": 2, "vf": "r"})", "a,d"},
      {R"({"i": "v", "ep": 2, "l": 2})", "c,f"},  // only an end: the window reads from it
      {R"({"i": "v", "sp": null, "ep": 2, "en": "b", "l": 5, "vf": "l"})", "b,e"},
      {R"({"i": ".key", "sp": "b", "ep": "d"})", "b,c,d"},
      {R"({"i": ".key", "sp": 1, "sn": "e"})", "e,f"},  // not a string: the name bounds
      {R"({"sp": null, "ep": null})", "a,b,c,d,e"},     // by priority: those without one
      {R"({"sp": 1, "l": 1, "vf": "l"})", "f"},
      {R"({"i": ".value", "sp": null, "l": 0, "vf": "l"})", ""},
  };
  for (const Case& c : cases) {
    auto window = QueryWindow::fromWire(parseJsonText(c.query).value());
    ASSERT_TRUE(window) << c.query;
    EXPECT_TRUE(window->filters());
    NodePtr selected = window->select(data);
    EXPECT_EQ(keysOf(selected), c.keys) << c.query;
    EXPECT_TRUE(selected->getPriority()->isEmpty()) << c.query;
  }
  auto limited = QueryWindow::fromWire(parseJsonText(R"({"l": 2, "vf": "l"})").value());
  EXPECT_TRUE(limited->select(nodeOf("5"))->isEmpty()) << "a leaf holds no children";
  // Loading all data filters nothing, whatever the index.
  EXPECT_FALSE(QueryWindow::fromWire(parseJsonText(R"({"i": ".value"})").value())->filters());
  EXPECT_FALSE(QueryWindow::fromWire(nullptr)->filters());
}

TEST(QueryWindowTest, MalformedParameters) {
  for (const char* text :
       {R"({"i": ""})", R"({"i": "/"})", R"({"i": 3})", R"({"l": "two", "vf": "l"})",
        R"({"l": -1})", R"({"l": 1.5})", R"({"l": 1, "vf": "x"})", R"({"sp": 1, "sn": 2})",
        R"({"sp": 1, "ep": 2, "l": 1})", R"({"sp": {"a": {".sv": "now"}}})", "[1]", "3"}) {
    EXPECT_FALSE(QueryWindow::fromWire(parseJsonText(text).value())) << text;
  }
}

// Where the client's limited filter refills a window from: the full data.
class FullDataSource final : public database::CompleteChildSource {
 public:
  explicit FullDataSource(const IndexedNode& full) : full_(full) {}

  NodePtr completeChild(const std::string& key) const override {
    return full_.node()->getImmediateChild(key);
  }

  std::optional<database::NamedNode> childAfterChild(const database::Index&,
                                                     const database::NamedNode& child,
                                                     bool reverse) const override {
    std::optional<database::NamedNode> next;
    database::forEachIndexedChildFrom(full_, child, reverse, [&](const database::NamedNode& c) {
      if (c.name == child.name) return false;
      next = c;
      return true;
    });
    return next;
  }

 private:
  const IndexedNode& full_;
};

TEST(QueryWindowTest, AgreesWithTheClientsFilters) {
  constexpr uint32_t kSeeds = 4000;
  constexpr int kWritesPerSeed = 6;
  size_t cases = 0;
  size_t nonEmpty = 0;
  for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
    testing::RandomQueries random(seed);
    QueryParams params = random.params();
    if (!params.isValid()) continue;
    auto filter = database::makeNodeFilter(params);
    auto window = QueryWindow::fromWire(Value(params.wireProtocolParams()).toJson());
    ASSERT_TRUE(window) << params.description();
    ASSERT_EQ(window->filters(), filter->filtersNodes()) << params.description();
    if (!window->filters()) continue;
    NodePtr data = random.data();
    const auto& index = params.index();
    IndexedNode clientWindow = filter->updateFullNode(
        IndexedNode(database::EmptyNode::emptyNode(), index), IndexedNode(data, index), nullptr);
    for (int step = 0; step <= kWritesPerSeed; ++step) {
      if (step > 0) {
        // The client's window follows a write below one child, refilled from the full data.
        std::string key = random.key();
        NodePtr child = random.chance(25) ? database::EmptyNode::emptyNode() : random.child();
        if (data->isLeafNode()) break;
        data = data->updateImmediateChild(key, child);
        IndexedNode full(data, index);
        clientWindow =
            filter->updateChild(clientWindow, key, child, Path(), FullDataSource(full), nullptr);
      }
      NodePtr server = window->select(data);
      ++cases;
      if (!server->isEmpty()) ++nonEmpty;
      ASSERT_TRUE(server->equals(*clientWindow.node()))
          << "seed " << seed << " step " << step << " query " << params.description() << "\ndata   "
          << data->description() << "\nserver " << server->description() << "\nclient "
          << clientWindow.node()->description();
    }
  }
  EXPECT_GT(cases, 15000u);
  EXPECT_GT(nonEmpty, cases / 2);
  std::cout << "[ query windows compared: " << cases << " ]\n";
}

TEST(QueryWindowTest, OrdersAgreeWithTheClients) {
  size_t pairs = 0;
  for (uint32_t seed = 1; seed <= 20000; ++seed) {
    testing::RandomQueries random(seed);
    std::string a = random.key();
    std::string b = random.key();
    EXPECT_EQ(keyOrder(a, b), std::clamp(database::compareKeys(a, b), -1, 1)) << a << " " << b;
    NodePtr x = random.chance(10) ? database::EmptyNode::emptyNode()
                                  : SnapshotUtilities::nodeFrom(random.leaf());
    NodePtr y = random.chance(10) ? random.child() : SnapshotUtilities::nodeFrom(random.leaf());
    EXPECT_EQ(valueOrder(*x, *y), std::clamp(database::compareValueOrder(*x, *y), -1, 1))
        << x->description() << " " << y->description();
    ++pairs;
  }
  std::cout << "[ key and value pairs compared: " << pairs << " ]\n";
}

}  // namespace
}  // namespace dz::devserver
