#include "database/realtime/message_decoder.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

ServerMessage decode(const char* json) {
  return decodeServerMessage(boost::json::parse(json).as_object());
}

std::optional<RefusedMessage::Kind> refusal(const char* json) {
  ServerMessage message = decode(json);
  const auto* refused = std::get_if<RefusedMessage>(&message);
  if (!refused) return std::nullopt;
  return refused->kind;
}

TEST(MessageDecoderTest, RefusesWhatCannotBeUsed) {
  using Kind = RefusedMessage::Kind;
  for (const char* reply : {R"({"r":"one","b":{"s":"ok"}})", R"({"r":1.5,"b":{"s":"ok"}})",
                            R"({"r":1,"b":{"s":7}})", R"({"r":1})", R"({"nothing":1})"}) {
    EXPECT_EQ(refusal(reply), Kind::Reply) << reply;
  }
  for (const char* push :
       {R"({"a":"d"})", R"({"a":"d","b":[1]})", R"({"a":"d","b":{"d":1}})",
        R"({"a":"d","b":{"p":5,"d":1}})", R"({"a":"d","b":{"p":"/a","d":1,"t":"x"}})",
        R"({"a":"m","b":{"p":"/a","d":[1]}})", R"({"a":"rm","b":{"p":"/a","d":[{"s":7}]}})",
        R"({"a":"rm","b":{"p":"/a","d":[5]}})", R"({"a":"c","b":{}})", R"({"a":"sd","b":{}})"}) {
    EXPECT_EQ(refusal(push), Kind::Push) << push;
  }
  // Keys the tree cannot hold: nothing of the push is kept.
  EXPECT_EQ(refusal(R"({"a":"d","b":{"p":"/a","d":{"bad.key":1}}})"), Kind::UnstorableData);
  EXPECT_EQ(refusal(R"({"a":"m","b":{"p":"/a","d":{"ok":1,"x":{"bad.key":1}}}})"),
            Kind::UnstorableData);
}

TEST(MessageDecoderTest, DecodesRepliesAndPushesIntoValues) {
  ServerMessage reply = decode(R"({"r":3,"b":{"s":"ok","d":{"w":["no_index"]}}})");
  ASSERT_TRUE(std::holds_alternative<Reply>(reply));
  EXPECT_EQ(std::get<Reply>(reply).requestNumber, 3);
  EXPECT_TRUE(std::get<Reply>(reply).noIndexWarning);
  EXPECT_FALSE(std::get<Reply>(reply).reason);
  EXPECT_EQ(std::get<Reply>(decode(R"({"r":4,"b":{"s":"no","d":"why"}})")).reason, "why");

  ServerMessage merge = decode(R"({"a":"m","b":{"p":"/a","d":{"b/c":1,"d":null},"t":7}})");
  ASSERT_TRUE(std::holds_alternative<MergePush>(merge));
  EXPECT_EQ(std::get<MergePush>(merge).tag, 7);
  EXPECT_EQ(pushedDataText(std::get<MergePush>(merge).merge), R"({"b/c":1,"d":null})");

  ServerMessage range = decode(R"({"a":"rm","b":{"p":"/a","d":[{"s":"k","m":{"k":1}},{}]}})");
  ASSERT_TRUE(std::holds_alternative<RangeMergePush>(range));
  ASSERT_EQ(std::get<RangeMergePush>(range).ranges.size(), 2u);
  EXPECT_EQ(std::get<RangeMergePush>(range).ranges[0].start(), Path("k"));
  EXPECT_FALSE(std::get<RangeMergePush>(range).ranges[1].end());

  EXPECT_EQ(std::get<ServerError>(decode(R"({"error":"overloaded"})")).error, "overloaded");
  EXPECT_EQ(std::get<UnknownPush>(decode(R"({"a":"zz","b":{}})")).action, "zz");
}

// A merge's keys are paths of data keys: what a data push of the same data refuses is refused,
// and only the last key may name the priority, as in the writes of callers.
TEST(MessageDecoderTest, MergeKeysAreHeldToTheRuleOfDataKeys) {
  auto merge = [](std::string_view key) {
    return R"({"a":"m","b":{"p":"/","d":{"ok":1,")" + std::string(key) + R"(":3}}})";
  };
  for (const char* key : {"a[", "a]", "b#", "$k", "a.b", ".info"}) {
    EXPECT_EQ(refusal(merge(key).c_str()), RefusedMessage::Kind::UnstorableData) << key;
    const std::string data = R"({"a":"d","b":{"p":"/","d":{")" + std::string(key) + R"(":3}}})";
    EXPECT_EQ(refusal(data.c_str()), RefusedMessage::Kind::UnstorableData) << key;
  }
  // Keys naming the location itself would make the merge an overwrite.
  for (const char* path : {"x/a[", ".value", "a/.priority/b", "", "/", "//"}) {
    EXPECT_EQ(refusal(merge(path).c_str()), RefusedMessage::Kind::UnstorableData) << path;
  }
  // A priority holds no children, nor a priority of its own.
  for (const char* key : {"x", ".priority", "x/.priority"}) {
    const std::string text =
        R"({"a":"m","b":{"p":"/a/.priority","d":{")" + std::string(key) + R"(":{"x":1}}}})";
    EXPECT_EQ(refusal(text.c_str()), RefusedMessage::Kind::UnstorableData) << key;
  }
  // A priority is one data may hold.
  for (const char* priority : {R"({"x":1})", "true", "[1]"}) {
    const std::string text =
        R"({"a":"m","b":{"p":"/","d":{"ok":1,"b/.priority":)" + std::string(priority) + "}}}";
    EXPECT_EQ(refusal(text.c_str()), RefusedMessage::Kind::UnstorableData) << priority;
  }
  // Nor is a push at a path whose keys data refuses.
  for (const char* push :
       {R"({"a":"d","b":{"p":"/a[/b","d":1}})", R"({"a":"m","b":{"p":"x#","d":{"c":1}}})",
        R"({"a":"rm","b":{"p":".info/$y","d":[]}})"}) {
    EXPECT_EQ(refusal(push), RefusedMessage::Kind::UnstorableData) << push;
  }
  ServerMessage kept = decode(R"({"a":"m","b":{"p":"/a","d":{"b/c":1,"b/.priority":2}}})");
  ASSERT_TRUE(std::holds_alternative<MergePush>(kept));
  EXPECT_EQ(std::get<MergePush>(kept)
                .merge.apply(EmptyNode::emptyNode())
                ->getChild(Path("b"))
                ->getPriority()
                ->val()
                .asDouble(),
            2);
}

// Data at a priority key is a priority, read as a merge's write there is, whether a data push
// sets it or a range merge's updates replace it: what data refuses drops the push.
TEST(MessageDecoderTest, APushAtAPriorityKeyHoldsAPriorityDataMayHold) {
  auto pushes = [](const std::string& data) {
    return std::vector<std::string>{
        R"({"a":"d","b":{"p":"/a/.priority","d":)" + data + "}}",
        R"({"a":"rm","b":{"p":"a/.priority","d":[{"m":)" + data + "}]}}",
        R"({"a":"rm","b":{"p":".priority","d":[{"s":"k","e":"m","m":)" + data + "}]}}"};
  };
  for (const char* priority :
       {R"({"x":1})", "true", "[1]", R"({".value":"p"})", R"({".value":1,".priority":2})"}) {
    for (const std::string& text : pushes(priority)) {
      EXPECT_EQ(refusal(text.c_str()), RefusedMessage::Kind::UnstorableData) << text;
    }
  }
  for (const char* priority : {R"("p")", "2", "1.5", "null"}) {
    for (const std::string& text : pushes(priority)) {
      EXPECT_EQ(refusal(text.c_str()), std::nullopt) << text;
    }
    ServerMessage push = decode(pushes(priority)[0].c_str());
    const auto* data = std::get_if<DataPush>(&push);
    ASSERT_TRUE(data) << priority;
    EXPECT_TRUE(
        nodesEqual(data->data, SnapshotUtilities::nodeFromJson(boost::json::parse(priority))))
        << priority;
  }
}

}  // namespace
}  // namespace dz::database
