#include "database/snapshot/query_params.h"

#include <gtest/gtest.h>

#include <unordered_map>

#include "database/snapshot/query_spec.h"
#include "database/snapshot/snapshot_utilities.h"
#include "database/utilities/utilities.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::json;
using node_literals::leaf;

TEST(QueryParamsTest, DefaultsLoadEverythingByPriority) {
  const QueryParams& params = QueryParams::defaultInstance();
  EXPECT_TRUE(params.isDefault());
  EXPECT_TRUE(params.loadsAllData());
  EXPECT_TRUE(params.isValid());
  EXPECT_FALSE(params.hasStart() || params.hasEnd() || params.limitSet());
  EXPECT_TRUE(params.index()->equals(*PriorityIndex::priorityIndex()));
  EXPECT_EQ(params.indexStartKey(), minName());
  EXPECT_EQ(params.indexEndKey(), maxName());
  EXPECT_TRUE(params.wireProtocolParams().empty());
  EXPECT_EQ(params.description(), "{}");
  QueryParams byKey = params.orderBy(KeyIndex::keyIndex());
  EXPECT_TRUE(byKey.loadsAllData());
  EXPECT_FALSE(byKey.isDefault());
}

TEST(QueryParamsTest, BuildersCopyAndWireParamsHoldOnlyWhatIsSet) {
  QueryParams base;
  QueryParams ranged = base.orderBy(PathIndex::create(Path("score/total")))
                           .startAt(leaf(10), "k1")
                           .endAt(leaf("z"))
                           .limitToLast(5);
  EXPECT_TRUE(base.isDefault());
  EXPECT_EQ(ranged.indexStartKey(), "k1");
  EXPECT_EQ(ranged.indexEndKey(), maxName());
  EXPECT_EQ(ranged.limit(), 5);
  EXPECT_FALSE(ranged.isViewFromLeft());
  EXPECT_EQ(Value(ranged.wireProtocolParams()),
            json(R"({"sp": 10, "sn": "k1", "ep": "z", "l": 5, "vf": "r", "i": "score/total"})"));
  EXPECT_EQ(Value(base.limitToFirst(2).wireProtocolParams()), json(R"({"l": 2, "vf": "l"})"));
  EXPECT_EQ(Value(base.startAt(EmptyNode::emptyNode()).wireProtocolParams()),
            json(R"({"sp": null})"));
  EXPECT_EQ(Value(base.orderBy(ValueIndex::valueIndex()).wireProtocolParams()),
            json(R"({"i": ".value"})"));
  EXPECT_EQ(*Value::parseJson(ranged.description()), Value(ranged.wireProtocolParams()));
  EXPECT_TRUE(ranged.isValid());
}

TEST(QueryParamsTest, WireParamsReadBack) {
  QueryParams ranged = QueryParams()
                           .orderBy(ValueIndex::valueIndex())
                           .startAt(leaf(1.5), "a")
                           .endAt(leaf(9))
                           .limitToFirst(3);
  std::optional<QueryParams> parsed =
      QueryParams::fromWireProtocolParams(ranged.wireProtocolParams());
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(*parsed == ranged);
  EXPECT_FALSE(QueryParams::fromWireProtocolParams(json(R"({"l": "x"})").asMap()));
  EXPECT_FALSE(QueryParams::fromWireProtocolParams(json(R"({"i": "/"})").asMap()));
  EXPECT_FALSE(QueryParams::fromWireProtocolParams(json(R"({"sp": {"a.b": 1}})").asMap()));
}

TEST(QueryParamsTest, PostsComeFromTheBoundsOrTheSentinels) {
  QueryParams params = QueryParams().orderBy(ValueIndex::valueIndex());
  EXPECT_EQ(params.startPost().name, minName());
  EXPECT_EQ(params.endPost().name, maxName());
  QueryParams bounded = params.startAt(leaf(3), "b");
  EXPECT_EQ(bounded.startPost().name, "b");
  EXPECT_EQ(bounded.startPost().node->val(), Value(3));
}

TEST(QuerySpecTest, EqualSpecsHashAlikeAndKeyMaps) {
  QueryParams a =
      QueryParams().orderBy(PathIndex::create(Path("x"))).startAt(leaf(1)).limitToFirst(2);
  QueryParams b =
      QueryParams().orderBy(PathIndex::create(Path("x"))).startAt(leaf(1.0)).limitToFirst(2);
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a == a.limitToLast(2));
  EXPECT_FALSE(a == a.startAt(leaf(1), "k"));
  EXPECT_FALSE(QueryParams().startAt(EmptyNode::emptyNode()) == QueryParams());

  std::unordered_map<QuerySpec, int> views;
  views[QuerySpec(Path("polls"), a)] = 1;
  views[QuerySpec::defaultQueryAtPath(Path("polls"))] = 2;
  views[QuerySpec(Path("polls"), b)] = 3;
  EXPECT_EQ(views.size(), 2u);
  EXPECT_EQ(views.at(QuerySpec(Path("polls"), a)), 3);
  EXPECT_TRUE(QuerySpec::defaultQueryAtPath(Path("x")).isDefault());
  EXPECT_FALSE(QuerySpec(Path("x"), a).loadsAllData());
  EXPECT_TRUE(QuerySpec(Path("x"), QueryParams().orderBy(KeyIndex::keyIndex())).loadsAllData());
}

}  // namespace
}  // namespace dz::database
