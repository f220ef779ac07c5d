#include "database/realtime/data_push.h"

#include <gtest/gtest.h>

#include <utility>

#include "database/snapshot/snapshot_utilities.h"
#include "platform/json_text.h"

namespace dz::database {
namespace {

// The data the JSON path takes from the same message.
NodePtr dataByDocument(const std::string& text) {
  boost::system::error_code ec;
  boost::json::value message = parseJsonExact(text, ec);
  return SnapshotUtilities::tryNodeFromJson(message.at("d").at("b").at("d"));
}

// Read in two pieces cut anywhere (inside keys, strings and numbers too), `text` gives what the
// whole text gives.
void expectEveryCutReadsAsTheWholeText(const std::string& text) {
  const std::optional<DataPush> whole = readDataPush(text);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    const std::unique_ptr<JsonTextReader> reader = dataPushReader();
    reader->write(std::string_view(text).substr(0, cut));
    // The last piece is written, or handed to finish().
    std::string_view last = std::string_view(text).substr(cut);
    if (cut % 2 != 0) reader->write(std::exchange(last, {}));
    const std::optional<DataPush> pieces = dataPushOf(reader->finish(last));
    ASSERT_EQ(pieces.has_value(), whole.has_value()) << text << " cut at " << cut;
    if (!whole) continue;
    EXPECT_TRUE(nodesEqual(pieces->data, whole->data) && pieces->path == whole->path &&
                pieces->tag == whole->tag &&
                nodesEqual(pieces->data->getPriority(), whole->data->getPriority()))
        << text << " cut at " << cut;
  }
}

// Many members out of order, some null, which the reader sorts by their first bytes.
std::string manyMembersPush() {
  std::string data;
  for (int i = 40; i > 0; --i) {
    data += "\"member" + std::to_string(i) + "\":" + (i % 7 ? std::to_string(i) : "null") + ",";
  }
  return R"({"t":"d","d":{"a":"d","b":{"p":"many","d":{)" + data + R"("m\u00e9":"\"e\""}}}})";
}

TEST(DataPushTest, PlainPushesReadAsTheJsonPathReadsThem) {
  const std::string texts[] = {
      R"({"t":"d","d":{"a":"d","b":{"p":"a/b","d":{"x":1,"y":{"z":"s"},"n":null}}}})",
      R"({"d":{"b":{"t":7,"d":[1,null,3],"p":"list"},"a":"d"},"t":"d"})",
      R"({"t":"d","d":{"a":"d","b":{"p":"","d":{".priority":2,"k":{".value":true,".priority":"p"}}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"leaf","d":12345678901234567}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"x","d":{"n":-1.774571493258161E-296}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"p","d":{".value":"v",".priority":1},"t":2}}})",
      manyMembersPush(),
  };
  for (const std::string& text : texts) {
    auto push = readDataPush(text);
    ASSERT_TRUE(push) << text;
    EXPECT_TRUE(nodesEqual(push->data, dataByDocument(text))) << text;
    EXPECT_EQ(push->data->getPriority()->isEmpty(), dataByDocument(text)->getPriority()->isEmpty());
    // Handed on as JSON, the push reads the same again.
    EXPECT_TRUE(
        nodesEqual(SnapshotUtilities::tryNodeFromJson(dataPushBody(*push).at("d")), push->data));
    expectEveryCutReadsAsTheWholeText(text);
  }
  auto tagged = readDataPush(texts[1]);
  EXPECT_EQ(tagged->path, "list");
  EXPECT_EQ(tagged->tag, 7);
  EXPECT_FALSE(readDataPush(texts[0])->tag);
}

TEST(DataPushTest, AnythingElseIsLeftToTheJsonPath) {
  const char* texts[] = {
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
      // members that are not as written: null or empty ones, {".value": x} in place of x
      R"({"t":"d","d":{"a":"d","b":{"p":{".value":""},"d":1}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":{".value":5}}}})",
      R"({"t":{".value":"d"},"d":{"a":"d","b":{"p":"a","d":1}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1},"r":null}})",
      R"({"t":"d","d":{"a":"d","error":null,"b":{"p":"a","d":1}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,"t":{"x":null}}},"e":[]}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1,".priority":null}}})",
      R"({".priority":null,"t":"d","d":{"a":"d","b":{"p":"a","d":1}}})",
      // a path whose keys data refuses
      R"({"t":"d","d":{"a":"d","b":{"p":"a/b]","d":1}}})",
      // data at a priority key, which only a priority may be (a valid one too)
      R"({"t":"d","d":{"a":"d","b":{"p":"a/.priority","d":{"x":1}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"/.priority","d":[1]}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a/.priority","d":true}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a/.priority","d":"p"}}})",
      // data the node reader leaves to the document: bad keys, placeholders, repeated keys
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{"a/b":1}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{".sv":"timestamp"}}}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":{"k":1,"k":2}}}})",
      // not JSON
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1}})",
      R"({"t":"d","d":{"a":"d","b":{"p":"a","d":1}}}} )",
  };
  for (const std::string text : texts) {
    EXPECT_FALSE(readDataPush(text)) << text;
    expectEveryCutReadsAsTheWholeText(text);
  }
}

}  // namespace
}  // namespace dz::database
