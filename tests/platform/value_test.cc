#include "platform/value.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdint>
#include <vector>

#include "platform/exception.h"

namespace dz {
namespace {

TEST(ValueTest, NumbersCompareAcrossIntAndDouble) {
  EXPECT_EQ(Value(3), Value(3.0));
  EXPECT_NE(Value(3), Value(3.5));
  // 2^53 + 1 has no exact double: the int must not equal the rounded double.
  EXPECT_NE(Value(9007199254740993LL), Value(9007199254740992.0));
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value("1"), Value(1));
}

TEST(ValueTest, SizesAndOtherUnsignedNumbersBecomeNumbers) {
  const std::vector<int> three(3);
  EXPECT_EQ(Value(three.size()), Value(3));
  EXPECT_TRUE(Value(three.size()).isInt());
  EXPECT_EQ(Value(uint64_t{9223372036854775807u}).asInt(), INT64_MAX);
  // Past the int64 range: a double, as such a number in JSON becomes.
  const Value huge(uint64_t{18446744073709551615u});
  EXPECT_TRUE(huge.isDouble());
  EXPECT_EQ(huge, Value::fromJson(boost::json::value(uint64_t{18446744073709551615u})));
}

TEST(ValueTest, MapsKeepKeysSortedAndCompareDeeply) {
  Value::Map map{{"b", 2}, {"a", Value::Array{1, "x", nullptr}}};
  Value value(map);
  EXPECT_EQ(value.asMap().begin()->first, "a");
  EXPECT_EQ(value, Value(Value::Map{{"a", Value::Array{1.0, "x", Value()}}, {"b", 2.0}}));
  EXPECT_EQ(value["b"], Value(2));
  EXPECT_TRUE(value["missing"].isNull());
  EXPECT_EQ(value.find("missing"), nullptr);
}

TEST(ValueTest, WrongTypeReadsThrowAndLenientReadsDoNot) {
  Value text("hello");
  try {
    text.asInt();
    FAIL() << "expected a throw";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "ValueTypeMismatch");
  }
  EXPECT_FALSE(text.getInt());
  EXPECT_EQ(Value(2).getDouble(), 2.0);
  EXPECT_EQ(Value(2.5).getInt(), std::nullopt);
}

TEST(ValueTest, JsonRoundTrip) {
  auto parsed =
      Value::parseJson(R"({"n":1,"d":2.5,"s":"é","a":[true,null],"big":18446744073709551615})");
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)["n"], Value(1));
  EXPECT_TRUE((*parsed)["n"].isInt());
  EXPECT_TRUE((*parsed)["big"].isDouble());
  EXPECT_EQ((*parsed)["s"].asString(), "é");
  auto again = Value::parseJson(parsed->toJsonString());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *parsed);
}

TEST(ValueTest, JsonDoublesAreReadExactly) {
  // A text a plain Boost.JSON parse reads one unit in the last place off.
  const double d = -1.774571493258161E-296;
  auto parsed = Value::parseJson("[-1.774571493258161E-296]");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->asArray()[0].asDouble(), d);
  auto again = Value::parseJson(Value(d).toJsonString());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->asDouble(), d);
}

TEST(ValueTest, DeeplyNestedJsonReadsBackUpToTheLimit) {
  // Stored database writes nest up to a thousand levels inside their record.
  auto nested = [](size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
  };
  auto deep = Value::parseJson(nested(Value::kMaxParseDepth));
  ASSERT_TRUE(deep);
  EXPECT_EQ(Value::parseJson(deep->toJsonString()), deep);
  EXPECT_FALSE(Value::parseJson(nested(Value::kMaxParseDepth + 1)));
}

TEST(ValueTest, StringsThatAreNotUtf8ReadBackAsWritten) {
  const Value value(Value::Map{{"a", Value(std::string("x\xff\xc3"))}});
  EXPECT_EQ(Value::parseJson(value.toJsonString()), value);
}

TEST(ValueTest, MalformedJsonIsRefusedWithoutThrowing) {
  EXPECT_FALSE(Value::parseJson("{\"a\":"));
  EXPECT_FALSE(Value::parseJson(""));
  EXPECT_EQ(Value(std::nan("")).toJsonString(), "null");
}

}  // namespace
}  // namespace dz
