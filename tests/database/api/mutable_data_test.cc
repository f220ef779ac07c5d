#include "database/api/mutable_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database/api/transaction_result.h"
#include "database/snapshot/node.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/exception.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::json;
MutableData data(const char* text) { return MutableData(SnapshotUtilities::nodeFrom(json(text))); }

std::string exceptionName(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.name();
  }
  return "";
}

TEST(MutableDataTest, ViewsShareOneHolder) {
  MutableData top = data(R"({"votes": {"a": 1}})");
  MutableData a = top.childDataByAppendingPath("votes/a");
  a.setValue(2);
  EXPECT_EQ(top.value(), json(R"({"votes": {"a": 2}})"));
  top.childDataByAppendingPath("votes/b").setValue("x");
  EXPECT_EQ(a.parent()->value(), json(R"({"a": 2, "b": "x"})"));
  EXPECT_TRUE(top.hasChildAtPath("votes/b"));
  EXPECT_EQ(top.childDataByAppendingPath("votes").childrenCount(), 2u);
  a.setValue(nullptr);
  EXPECT_EQ(top.value(), json(R"({"votes": {"b": "x"}})"));
  EXPECT_FALSE(top.parent().has_value());
  EXPECT_EQ(top.key(), std::nullopt);
  EXPECT_EQ(a.key(), "a");
}

TEST(MutableDataTest, EqualityIsTheSameHolderAndPath) {
  MutableData top = data(R"({"a": 1})");
  EXPECT_TRUE(top.childDataByAppendingPath("a").isEqualToData(top.childDataByAppendingPath("/a/")));
  EXPECT_FALSE(top.isEqualToData(top.childDataByAppendingPath("a")));
  EXPECT_FALSE(top.isEqualToData(data(R"({"a": 1})")));
}

TEST(MutableDataTest, PrioritiesAreCheckedAsPriorities) {
  MutableData top = data(R"({"a": 1})");
  MutableData a = top.childDataByAppendingPath("a");
  a.setPriority(5);
  EXPECT_EQ(a.priority(), Value(5));
  EXPECT_EQ(a.value(), Value(1));
  EXPECT_EQ(exceptionName([&] { a.setPriority(true); }), "InvalidDezuvuraData");
  EXPECT_EQ(exceptionName([&] { a.setPriority(json("[1]")); }), "InvalidDezuvuraData");
  EXPECT_EQ(a.priority(), Value(5));
  a.setPriority(nullptr);
  EXPECT_TRUE(a.priority().isNull());
}

TEST(MutableDataTest, BadValuesAndPathsRaiseOnTheCaller) {
  MutableData top = data("{}");
  EXPECT_EQ(exceptionName([&] { top.setValue(Value::Map{{"a.b", 1}}); }), "InvalidDezuvuraData");
  EXPECT_EQ(exceptionName([&] { top.childDataByAppendingPath(".priority"); }),
            "InvalidPathValidation");
  EXPECT_EQ(exceptionName([&] { top.hasChildAtPath("a$"); }), "InvalidPathValidation");
  EXPECT_EQ(exceptionName([&] { top.hasChildAtPath(""); }), "InvalidPathValidation");
  EXPECT_TRUE(top.value().isNull());
}

TEST(MutableDataTest, ChildrenInPriorityOrderAndDescriptions) {
  MutableData top =
      data(R"({"a": {".value": 1, ".priority": 2}, "b": {".value": 2, ".priority": 1}})");
  std::vector<std::string> keys;
  for (MutableData child : top.children()) {
    keys.push_back(*child.key());
    child.setValue(0);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(top.value(), json(R"({"a": 0, "b": 0})"));
  EXPECT_EQ(top.childDataByAppendingPath("a").description(), "DZMutableData (a) 0");
  EXPECT_EQ(top.description(), R"(DZMutableData (top-most transaction) (null) {"a":0,"b":0})");
}

TEST(TransactionResultTest, SuccessKeepsTheDataAbortHasNone) {
  MutableData top = data("1");
  TransactionResult success = TransactionResult::successWithValue(top);
  EXPECT_TRUE(success.isSuccess());
  EXPECT_TRUE(success.update()->isEqualToData(top));
  TransactionResult abort = TransactionResult::abort();
  EXPECT_FALSE(abort.isSuccess());
  EXPECT_FALSE(abort.update().has_value());
}

}  // namespace
}  // namespace dz::database
