#include "database/snapshot/index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "database/snapshot/key_order.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"
#include "platform/exception.h"
#include "tests/database/snapshot/node_literals.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

using node_literals::leaf;
using node_literals::node;

TEST(KeyOrderTest, IntegersFirstNumericallyThenBytesWithSentinelsOutside) {
  std::vector<std::string> sorted = {
      "[MIN_NAME]",          "-1", "0", "007", "7", "9", "10",        "100", "9223372036854775807",
      "9223372036854775808", "A",  "a", "a0",  "b", "é", "[MAX_NAME]"};
  for (size_t i = 0; i < sorted.size(); ++i) {
    for (size_t j = 0; j < sorted.size(); ++j) {
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      if (sorted[i] == "-1" || sorted[j] == "-1") {
        // "-1" is not an integer key: it sorts among the strings.
        continue;
      }
      int c = compareKeys(sorted[i], sorted[j]);
      EXPECT_EQ(c < 0 ? -1 : (c > 0 ? 1 : 0), expected) << sorted[i] << " vs " << sorted[j];
    }
  }
  EXPECT_GT(compareKeys("-1", "9223372036854775807"), 0);
  EXPECT_LT(compareKeys("-1", "A"), 0);
  EXPECT_LT(compareKeys(minName(), ""), 0);
  EXPECT_GT(compareKeys(maxName(), "zzzz"), 0);
}

// Keys that are not integers compare byte by byte as unsigned bytes, then shorter first.
TEST(KeyOrderTest, PlainKeysInUnsignedByteOrderThenShorterFirst) {
  const std::vector<std::string> keys = {"",
                                         "a",
                                         "ab",
                                         "abc",
                                         "abd",
                                         "b",
                                         "a\x7f",
                                         "a\x80",
                                         "a\xff",
                                         "\xc3\xa9",
                                         "k100123",
                                         "k100124",
                                         "k10012",
                                         "k1001230",
                                         "longer key one",
                                         "longer key two"};
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      const int c = std::string_view(a).compare(b);
      EXPECT_EQ(compareKeys(a, b), (c > 0) - (c < 0)) << a << " vs " << b;
    }
  }
}

TEST(ValueOrderTest, NullBooleansNumbersStringsObjects) {
  std::vector<NodePtr> ordered = {EmptyNode::emptyNode(),
                                  leaf(false),
                                  leaf(true),
                                  leaf(-1e300),
                                  leaf(Value(static_cast<long long>(INT64_MIN))),
                                  leaf(-1.5),
                                  leaf(0),
                                  leaf(0.5),
                                  leaf(9007199254740992.0),
                                  leaf(Value(9007199254740993LL)),
                                  leaf(Value(static_cast<long long>(INT64_MAX))),
                                  leaf(9223372036854775808.0),
                                  leaf(""),
                                  leaf("A"),
                                  leaf("a"),
                                  leaf("ab"),
                                  node(R"({"a": 1})")};
  for (size_t i = 0; i < ordered.size(); ++i) {
    for (size_t j = 0; j < ordered.size(); ++j) {
      int c = compareValueOrder(*ordered[i], *ordered[j]);
      int expected = i < j ? -1 : (i > j ? 1 : 0);
      EXPECT_EQ(c < 0 ? -1 : (c > 0 ? 1 : 0), expected) << i << " vs " << j;
    }
  }
  EXPECT_EQ(compareValueOrder(*leaf(1), *leaf(1.0)), 0);
  EXPECT_EQ(compareValueOrder(*node(R"({"a": 1})"), *node(R"({"b": 2})")), 0);
}

std::vector<IndexPtr> allIndexes() {
  return {PriorityIndex::priorityIndex(), KeyIndex::keyIndex(), ValueIndex::valueIndex(),
          PathIndex::create(Path("a")), PathIndex::create(Path("a/b"))};
}

TEST(IndexTest, EveryIndexIsAStrictTotalOrderOnRandomChildren) {
  testing::RandomValues random(1234);
  for (const IndexPtr& index : allIndexes()) {
    std::vector<NamedNode> children;
    std::set<std::string> names;
    for (int i = 0; i < 60; ++i) {
      std::string name = random.key() + std::to_string(i % 7);
      if (!names.insert(name).second) continue;
      NodePtr child = random.node(3);
      if (random.chance(30)) child = child->updateChild(Path("a"), random.node(2));
      if (random.chance(20)) child = child->updatePriority(leaf(random.priority()));
      children.emplace_back(name, child);
    }
    children.push_back(index->minPost());
    children.push_back(index->maxPost());
    for (const NamedNode& a : children) {
      EXPECT_EQ(index->compare(a, a), 0);
      for (const NamedNode& b : children) {
        int ab = index->compare(a, b);
        int ba = index->compare(b, a);
        ASSERT_EQ(ab<0, ba> 0) << index->queryDefinition() << ": antisymmetry";
        ASSERT_EQ(ab == 0, a.name == b.name) << index->queryDefinition() << ": ties by key";
        // The same order from the values found once per child.
        ASSERT_EQ(ab, Index::compareIndexed(index->indexedValue(*a.node), a.name,
                                            index->indexedValue(*b.node), b.name))
            << index->queryDefinition() << ": indexed values";
        if (ab >= 0) continue;
        for (const NamedNode& c : children) {
          if (index->compare(b, c) < 0) {
            ASSERT_LT(index->compare(a, c), 0) << index->queryDefinition() << ": transitivity";
          }
        }
      }
    }
    // Posts bound every child.
    for (size_t i = 0; i + 2 < children.size(); ++i) {
      EXPECT_LT(index->compare(index->minPost(), children[i]), 0);
      EXPECT_GT(index->compare(index->maxPost(), children[i]), 0);
    }
  }
}

TEST(IndexTest, PriorityIndexSortsNoneThenNumbersThenStrings) {
  auto named = [](const char* name, NodePtr priority) {
    return NamedNode(name, leaf(1)->updatePriority(std::move(priority)));
  };
  const Index& index = *PriorityIndex::priorityIndex();
  EXPECT_LT(index.compare(named("z", nullptr), named("a", leaf(-5))), 0);
  EXPECT_LT(index.compare(named("z", leaf(2)), named("a", leaf(10))), 0);
  EXPECT_LT(index.compare(named("z", leaf(1e10)), named("a", leaf(""))), 0);
  EXPECT_LT(index.compare(named("a", leaf(3)), named("b", leaf(3.0))), 0);
  EXPECT_TRUE(index.isDefinedOn(*named("a", leaf(1)).node));
  EXPECT_FALSE(index.isDefinedOn(*leaf(1)));
  EXPECT_TRUE(index.indexedValueChanged(*leaf(1), *named("a", leaf(1)).node));
  EXPECT_FALSE(index.indexedValueChanged(*leaf(1), *leaf(2)));
}

TEST(IndexTest, PostsPlaceQueryBoundsAmongChildren) {
  const Index& byValue = *ValueIndex::valueIndex();
  NamedNode child("m", leaf(5));
  EXPECT_LT(byValue.compare(byValue.makePost(leaf(5), minName()), child), 0);
  EXPECT_GT(byValue.compare(byValue.makePost(leaf(5), maxName()), child), 0);
  EXPECT_GT(byValue.compare(byValue.makePost(leaf(5), "n"), child), 0);
  EXPECT_LT(byValue.compare(byValue.makePost(leaf(4.5), maxName()), child), 0);

  const Index& byPriority = *PriorityIndex::priorityIndex();
  NamedNode prioritized("m", leaf(1)->updatePriority(leaf("p")));
  EXPECT_LT(byPriority.compare(byPriority.makePost(leaf("p"), minName()), prioritized), 0);
  EXPECT_GT(byPriority.compare(byPriority.makePost(leaf("p"), maxName()), prioritized), 0);

  IndexPtr byAge = PathIndex::create(Path("age"));
  NamedNode person("bob", node(R"({"age": 30})"));
  EXPECT_LT(byAge->compare(byAge->makePost(leaf(30), minName()), person), 0);
  EXPECT_GT(byAge->compare(byAge->makePost(leaf(31), minName()), person), 0);

  const Index& byKey = *KeyIndex::keyIndex();
  EXPECT_EQ(byKey.makePost(leaf("k"), maxName()).name, "k");
  EXPECT_LT(byKey.compare(byKey.makePost(leaf("a"), ""), NamedNode("b", leaf(1))), 0);
}

TEST(IndexTest, QueryDefinitionsEqualityAndParsing) {
  EXPECT_EQ(PriorityIndex::priorityIndex()->queryDefinition(), ".priority");
  EXPECT_EQ(KeyIndex::keyIndex()->queryDefinition(), ".key");
  EXPECT_EQ(ValueIndex::valueIndex()->queryDefinition(), ".value");
  EXPECT_EQ(PathIndex::create(Path("a/b"))->queryDefinition(), "a/b");
  for (const IndexPtr& index : allIndexes()) {
    IndexPtr parsed = Index::fromQueryDefinition(index->queryDefinition());
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(*parsed == *index);
    EXPECT_EQ(parsed->hash(), index->hash());
  }
  EXPECT_FALSE(*PathIndex::create(Path("a")) == *PathIndex::create(Path("b")));
  EXPECT_FALSE(*ValueIndex::valueIndex() == *KeyIndex::keyIndex());
  EXPECT_EQ(Index::fromQueryDefinition("/"), nullptr);
  EXPECT_THROW(PathIndex::create(Path()), Exception);
}

}  // namespace
}  // namespace dz::database
