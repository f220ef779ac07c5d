#include "database/realtime/data_push.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "database/snapshot/snapshot_utilities.h"

namespace dz::database {
namespace {

// The data the JSON path takes from the same message.
NodePtr dataByDocument(const std::string& text) {
  boost::json::value message = boost::json::parse(text);
  return SnapshotUtilities::tryNodeFromJson(message.at("d").at("b").at("d"));
}

const std::string kPlainPushes[] = {
    R"({"t":"d","d":{"a":"d","b":{"p":"a/b","d":{"x":1,"y":{"z":"s"},"n":null}}}})",
    R"({"d":{"b":{"t":7,"d":[1,null,3],"p":"list"},"a":"d"},"t":"d"})",
    R"({"t":"d","d":{"a":"d","b":{"p":"","d":{".priority":2,"k":{".value":true,".priority":"p"}}}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"leaf","d":12345678901234567}}})",
};

TEST(DataPushTest, PlainPushesReadAsTheJsonPathReadsThem) {
  const auto& texts = kPlainPushes;
  for (const std::string& text : texts) {
    auto push = readDataPush(text);
    ASSERT_TRUE(push) << text;
    EXPECT_TRUE(nodesEqual(push->data, dataByDocument(text))) << text;
    EXPECT_EQ(push->data->getPriority()->isEmpty(), dataByDocument(text)->getPriority()->isEmpty());
    // Handed on as JSON, the push reads the same again.
    EXPECT_TRUE(nodesEqual(SnapshotUtilities::tryNodeFromJson(push->body().at("d")), push->data));
  }
  auto tagged = readDataPush(texts[1]);
  EXPECT_EQ(tagged->path, "list");
  EXPECT_EQ(tagged->tag, 7);
  EXPECT_FALSE(readDataPush(texts[0])->tag);
}

const char* const kOtherMessages[] = {
    // merges, whose nulls delete; other actions; replies; control messages
    R"({"t":"d","d":{"a":"m","b":{"p":"a","d":{"x":null}}}})",
    R"({"t":"d","d":{"a":"d","r":1,"b":{"p":"a","d":1}}})",
    R"({"t":"c","d":{"a":"d","b":{"p":"a","d":1}}})",
    // no data, no path, a path or tag of the wrong kind, members of unknown meaning
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":null}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{}}}})",
    R"({"t":"d","d":{"a":"d","b":{"d":1}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":5,"d":1}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":"7"}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":1.5}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"x":1}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,".priority":1}}})",
    // data the node reader leaves to the document: bad keys, placeholders, repeated keys
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{"a/b":1}}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{".sv":"timestamp"}}}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{"k":1,"k":2}}}})",
    // not JSON
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1}})",
    R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1}}}} )",
};

TEST(DataPushTest, AnythingElseIsLeftToTheJsonPath) {
  for (const char* text : kOtherMessages) EXPECT_FALSE(readDataPush(text)) << text;
}

// Read in two pieces cut anywhere (inside keys, strings and numbers too), every message gives
// what the whole text gives.
TEST(DataPushTest, PiecesReadAsTheWholeText) {
  std::vector<std::string> texts(std::begin(kPlainPushes), std::end(kPlainPushes));
  texts.insert(texts.end(), std::begin(kOtherMessages), std::end(kOtherMessages));
  texts.push_back(R"({"t":"d","d":{"a":"d","b":{"p":"x","d":{"n":-1.774571493258161E-296}}}})");
  for (const std::string& text : texts) {
    std::optional<DataPush> whole = readDataPush(text);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      JsonTextReader reader(kMaxJsonTextDepth);
      reader.write(std::string_view(text).substr(0, cut));
      reader.write(std::string_view(text).substr(cut));
      std::optional<DataPush> pieces = dataPushOf(reader.finish());
      ASSERT_EQ(pieces.has_value(), whole.has_value()) << text << " cut at " << cut;
      if (!whole) continue;
      EXPECT_TRUE(nodesEqual(pieces->data, whole->data)) << text << " cut at " << cut;
      EXPECT_EQ(pieces->data->getPriority()->isEmpty(), whole->data->getPriority()->isEmpty());
      EXPECT_EQ(pieces->path, whole->path);
      EXPECT_EQ(pieces->tag, whole->tag);
    }
  }
}

}  // namespace
}  // namespace dz::database
