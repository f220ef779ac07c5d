// JSON text read straight to nodes must give exactly what parsing the text to a JSON document and
// converting that gives: the same nodes, the same exceptions, nothing thrown by the try form.
#include "platform/json_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "database/snapshot/json_reader.h"
#include "database/snapshot/snapshot_utilities.h"
#include "platform/exception.h"
#include "tests/database/snapshot/random_node_fixture.h"

namespace dz::database {
namespace {

constexpr char kMalformed[] = "malformed";

// A node, or what refused the text.
struct Outcome {
  NodePtr node;
  std::string error;
};

Outcome viaDocument(std::string_view text, std::string_view label) {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonTextDepth;
  boost::system::error_code ec;
  boost::json::value json = parseJsonExact(text, ec, options);
  if (ec) return {nullptr, kMalformed};
  try {
    return {SnapshotUtilities::nodeFromJson(json, label), ""};
  } catch (const Exception& e) {
    return {nullptr, e.name() + " " + e.reason()};
  }
}

Outcome viaText(std::string_view text, std::string_view label) {
  try {
    return {SnapshotUtilities::nodeFromJsonText(text, label), ""};
  } catch (const Exception& e) {
    if (e.name() == kInvalidDezuvuraData &&
        e.reason().rfind("(" + std::string(label) + ") Invalid JSON text: ", 0) == 0) {
      return {nullptr, kMalformed};
    }
    return {nullptr, e.name() + " " + e.reason()};
  }
}

// Both paths agree on the text; returns whether it made a node.
bool expectSameOutcome(std::string_view text, std::string_view label = "set:") {
  Outcome document = viaDocument(text, label);
  Outcome direct = viaText(text, label);
  std::string shown(text.substr(0, 300));
  EXPECT_EQ(direct.error, document.error) << shown;
  EXPECT_EQ(direct.node != nullptr, document.node != nullptr) << shown;
  NodePtr tried;
  EXPECT_NO_THROW(tried = SnapshotUtilities::tryNodeFromJsonText(text)) << shown;
  EXPECT_EQ(tried != nullptr, document.node != nullptr) << shown;
  if (document.node && direct.node) {
    EXPECT_TRUE(*direct.node == *document.node) << shown;
    EXPECT_EQ(direct.node->dataHash(), document.node->dataHash()) << shown;
    EXPECT_EQ(direct.node->val(true), document.node->val(true)) << shown;
    EXPECT_TRUE(*tried == *document.node) << shown;
  }
  return document.node != nullptr;
}

std::string nestedText(size_t depth, std::string_view inner = "1") {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += R"({"a":)";
  text += inner;
  text.append(depth, '}');
  return text;
}

TEST(JsonTextTest, HandWrittenDocumentsMatchTheDocumentPath) {
  const std::vector<std::string> texts = {
      "null", "1", "-1", "1.5", "true", "false", R"("text")", "{}", "[]", "[null]",
      R"({"b": 2, "a": "x", "c": {"d": [1, 2, {"e": null}]}})",
      R"({"10": 1, "9": 2, "a": 3, "007": 4, "7": 5, "-1": 6})",
      R"({"z": 1, "\u00e9": 2, "A": 3, "~": 4, "-1": 5, "-": 6, " ": 7, "5": 8, "Z": 9})",
      R"([1, null, 3, null, null, null, 7])", R"([[], {}, [null], {"a": null}])",
      R"({"a": {}, "b": [], "c": {"d": {}}})",
      // A few members out of order, with null members and priorities among them.
      R"({"b": null, ".priority": 3, "a": 1, "c": null})",
      R"({"b": null, "a": null, ".priority": 3})", R"({"b": 1, "a": null})",
      R"({"b": {"d": 1, "c": null}, "a": {"f": null, "e": null}})",
      // Priorities, ".value" and server values.
      R"({".priority": 1, "a": 1})", R"({"a": 1, ".priority": "p"})",
      R"({".priority": null, "a": 1})", R"({".priority": 1})", R"({".priority": 1.5, "a": true})",
      R"({".value": 5, ".priority": 2})", R"({".priority": 2, ".value": "v"})",
      R"({".value": null, ".priority": 2})", R"({".value": true})",
      R"({".value": 1, "a": 2, "b/c": 3})", R"({"x": {"bad.key": 1}, ".value": 1})",
      R"({".value": {".sv": "timestamp"}})", R"({".value": {".sv": "nope"}})", R"({".value": [1]})",
      R"({".value": {"a": 1}})", R"({".value": 1e999})", R"({".sv": "timestamp"})",
      R"({".sv": "timestamp", ".priority": 1})", R"({".sv": "timestamp", "x": 1})", R"({".sv": 1})",
      R"({"a": {".sv": "timestamp"}})", R"({".priority": {".sv": "timestamp"}, "a": 1})",
      R"({".priority": {"x": 1}, "a": 1})", R"({".priority": [1], "a": 1})",
      R"({".priority": true, "a": 1})", R"({"a": {"b": {".value": 1, ".priority": true}}})",
      R"({".priority": 1e999, "a": 1})", R"({".priority": 1})", R"({".other": 1})",
      R"({"a": {".priority": 3}})",
      // Invalid keys.
      R"({"": 1})", R"({"a.b": 1})", R"({"a#": 1})", R"({"$": 1})", R"({"a/b": 1})", R"({"[": 1})",
      R"({"]": 1})", R"({"a": {"b": {"c.d": null}}})", R"({"a": [{"b$": 1}]})",
      // Numbers at the edges of int64 and of doubles.
      "9223372036854775807", "-9223372036854775808", "9223372036854775808", "-9223372036854775809",
      "18446744073709551615", "18446744073709551616", "1e999", "-1e999", "1e-400", "-0", "-0.0",
      "0.1", "1.0", "1e300", R"({"a": 1e999})", R"([1, -1e999])",
      R"({"a": 9223372036854775807, "b": -9223372036854775808, "c": 18446744073709551615})",
      R"({".priority": 18446744073709551615, "a": 1})", R"({".priority": -0.0, "a": 1})",
      R"({".value": 18446744073709551615, ".priority": 9223372036854775808})",
      // Unicode escapes and raw UTF-8, in keys and values.
      R"("\u00e9\ud83d\ude00\n\t\"\\\/")", R"({"\u00e9": "\u0000"})", "{\"\xc3\xa9\": 1}",
      R"({"\u0061": 1, "b": 2})", R"({"\ud800": 1})", R"("\udc00x")",
      // Repeated keys: the document keeps one.
      R"({"a": 1, "a": 2})", R"({"a": 1, "a": null})", R"({"a": null, "a": 1})",
      R"({"b": 1, "a": 2, "b": 3})", R"({"a": {"x.y": 1}, "a": 2})", R"({"a": 2, "\u0061": 3})",
      R"({".priority": 1, ".priority": 2, "a": 1})", R"({".value": 1, ".value": 2})",
      R"({".priority": true, ".priority": 2, "a": 1})", R"({"a": 1e999, "a": 1})",
      // Long strings and keys.
      "\"" + std::string(100'000, 'x') + "\"",
      "{\"" + std::string(5000, 'k') + "\": \"" + std::string(70'000, 'v') + "\\n\"}",
      "[\"" + std::string(40'000, 'a') + "\\u00e9" + std::string(40'000, 'b') + "\"]"};
  for (const std::string& text : texts) expectSameOutcome(text);
  // The label reaches the messages.
  Outcome badKey = viaText(R"({"a": {"b.c": 1}})", "update:");
  EXPECT_EQ(badKey.error.rfind("InvalidDezuvuraData (update:) Invalid key", 0), 0u) << badKey.error;
  EXPECT_EQ(viaText(R"({"a": {".value": [1]}})", "x:").error.rfind("InvalidLeafValueType", 0), 0u);
}

TEST(JsonTextTest, ManyMembersInAnyOrderMatchTheDocumentPath) {
  // Keys that share their first eight or sixteen bytes or more, end inside them, or hold NULs and
  // bytes above 0x7f; a few (in one block with their node), some dozens (compared while sorting)
  // and over a thousand (sorted a byte at a time).
  for (int count : {0, 6, 8, 60, 1500}) {
    std::vector<std::string> keys = {"childhood", "childhoo", "childhood-2", "c", "",
                                     "\\u00e9t",  "\\u00e9",  "a\\u0000",    "a", "~"};
    for (int i = 0; i < count; ++i) {
      keys.push_back((i % 3 ? "child" : "children-of-one-parent-") + std::to_string(i * 37 % 2003));
    }
    // Keys of every length up to past sixteen, alone or with one more byte.
    const std::string letters = "abcdefghijklmnopqrstu";
    for (size_t length = 0; count > 0 && length <= letters.size(); ++length) {
      keys.push_back("m" + letters.substr(0, length));
      keys.push_back("m" + letters.substr(0, length) + "~");
    }
    std::mt19937 random(7);
    auto objectOf = [&random](std::vector<std::string> members) {
      std::shuffle(members.begin(), members.end(), random);
      std::string text = "{";
      for (size_t i = 0; i < members.size(); ++i) {
        text += (i ? ",\"" : "\"") + members[i] + "\":" + (i % 9 == 4 ? "null" : std::to_string(i));
      }
      return text + "}";
    };
    keys.erase(keys.begin() + 4);  // "" is refused
    for (int round = 0; round < 5; ++round) {
      EXPECT_FALSE(readJsonText(objectOf(keys), kMaxJsonTextDepth).needsDocument);
      EXPECT_TRUE(expectSameOutcome(objectOf(keys)));
    }
    // Integer keys among them, and a repeated key.
    auto withIntegers = keys;
    withIntegers.insert(withIntegers.end(), {"12", "007", "7", "-3", "[x"});
    EXPECT_FALSE(expectSameOutcome(objectOf(withIntegers)));  // "[x" is refused
    withIntegers.pop_back();
    EXPECT_TRUE(expectSameOutcome(objectOf(withIntegers)));
    for (const char* again : {"childhoo", "children-of-one-parent-0"}) {
      if (std::find(keys.begin(), keys.end(), again) == keys.end()) continue;  // a few keys
      auto repeated = keys;
      repeated.push_back(again);
      EXPECT_TRUE(readJsonText(objectOf(repeated), kMaxJsonTextDepth).needsDocument);
      expectSameOutcome(objectOf(repeated));
    }
  }
}

TEST(JsonTextTest, CommonShapesNeedNoDocument) {
  for (const char* text : {R"({"b": {"x": [1, null, "s"], ".priority": 2}, "a": {".value": true}})",
                           R"({"a": null, "b": {}, "c": 1e300, "d": -9223372036854775808})"}) {
    JsonTextRead read = readJsonText(text, kMaxJsonTextDepth);
    EXPECT_TRUE(read.node && !read.needsDocument) << text;
  }
  for (const char* text : {R"({"a": 1, "a": 2})", R"({"a": {".sv": "timestamp"}})"}) {
    EXPECT_TRUE(readJsonText(text, kMaxJsonTextDepth).needsDocument) << text;
  }
}

TEST(JsonTextTest, DepthLimitIsTheSame) {
  EXPECT_TRUE(expectSameOutcome(nestedText(kMaxObjectDepth)));
  EXPECT_FALSE(expectSameOutcome(nestedText(kMaxObjectDepth + 1)));
  Outcome tooDeep = viaText(nestedText(kMaxObjectDepth + 1), "update:");
  EXPECT_EQ(tooDeep.error.rfind("InvalidDezuvuraData (update:) Max object depth exceeded: /a/a", 0),
            0u);
  // Containers at the limit, arrays too, and too-deep data where it is never looked at.
  EXPECT_TRUE(expectSameOutcome(nestedText(kMaxObjectDepth, "{}")));
  EXPECT_FALSE(expectSameOutcome(nestedText(kMaxObjectDepth, R"({"b": 1})")));
  EXPECT_TRUE(expectSameOutcome(nestedText(kMaxObjectDepth - 1, "[1]")));
  EXPECT_TRUE(expectSameOutcome(nestedText(kMaxObjectDepth, R"({".value": 2})")));
  EXPECT_TRUE(expectSameOutcome(R"({".value": 1, "x": )" + nestedText(kMaxObjectDepth + 5) + "}"));
  EXPECT_TRUE(expectSameOutcome(nestedText(kMaxObjectDepth - 1, R"({".priority": 4, "b": 1})")));
  // Past the text's own limit the text is malformed; far past it nothing breaks.
  EXPECT_EQ(viaText(nestedText(kMaxJsonTextDepth + 1), "x:").error, kMalformed);
  std::string veryDeep(200'000, '[');
  EXPECT_FALSE(expectSameOutcome(veryDeep));
  EXPECT_FALSE(expectSameOutcome(veryDeep + std::string(200'000, ']')));
}

TEST(JsonTextTest, MalformedTextIsRefusedAndNeverThrowsFromTheTryForm) {
  for (const char* text : {"",
                           " ",
                           "{",
                           "[1,]",
                           R"({"a":})",
                           "nul",
                           "1 2",
                           "[1] x",
                           R"({"a" 1})",
                           "\"abc",
                           "{\"a\": \"\xff\"}",
                           "\"\xc3\"",
                           "NaN",
                           "Infinity",
                           "[-]",
                           "01",
                           "1.",
                           ".5",
                           "{'a': 1}",
                           "[1, 2",
                           R"({"a": 1,})",
                           "/* c */ 1"}) {
    EXPECT_EQ(viaText(text, "x:").error, kMalformed) << text;
    expectSameOutcome(text);
  }
  // Every prefix and many single-byte changes of a document that uses every feature.
  const std::string document =
      R"({"a": {"b": [1, 2.5, "s\u00e9", true, null], ".priority": "p"}, "c": {".value": -3,)"
      R"( ".priority": 1e2}, "d": {".sv": "timestamp"}, "e": [[[]]], "f": 9223372036854775808})";
  for (size_t i = 0; i <= document.size(); ++i) expectSameOutcome(document.substr(0, i));
  testing::RandomValues random(5);
  const std::string bytes = "{}[]\":,.\\ 0a-e$/u";
  for (int i = 0; i < 3000; ++i) {
    std::string text = document;
    for (int changes = 1 + random.below(3); changes > 0; --changes) {
      auto at = static_cast<size_t>(random.below(static_cast<int>(text.size())));
      text[at] = bytes[static_cast<size_t>(random.below(static_cast<int>(bytes.size())))];
    }
    expectSameOutcome(text);
  }
}

// Random text with odd keys, repeats, special members and bad numbers.
std::string randomText(testing::RandomValues& random, int depth) {
  static const std::vector<std::string> keys = {"a", "b",         "10",     "9",   "007",
                                                "7", ".priority", ".value", ".sv", "a.b",
                                                "",  "\\u0061",   "-1",     "z"};
  switch (depth == 0 ? random.below(5) : random.below(8)) {
    case 0:
      return "null";
    case 1: {
      static const std::vector<std::string> numbers = {"0",
                                                       "1",
                                                       "-7",
                                                       "2.5",
                                                       "1e999",
                                                       "9223372036854775807",
                                                       "-9223372036854775808",
                                                       "18446744073709551615",
                                                       "1e-5",
                                                       "1024",
                                                       "1023"};
      return numbers[static_cast<size_t>(random.below(static_cast<int>(numbers.size())))];
    }
    case 2:
      return random.chance(80) ? "\"s\"" : "\"timestamp\"";
    case 3:
      return random.chance(50) ? "true" : "false";
    case 4:
      return random.chance(50) ? "{}" : "[]";
    case 5: {
      std::string text = "[";
      for (int i = random.below(4); i > 0; --i) {
        text += randomText(random, depth - 1);
        if (i > 1) text += ",";
      }
      return text + "]";
    }
    default: {
      std::string text = "{";
      for (int i = random.below(5); i > 0; --i) {
        text += "\"" + keys[static_cast<size_t>(random.below(static_cast<int>(keys.size())))] +
                "\":" + randomText(random, depth - 1);
        if (i > 1) text += ",";
      }
      return text + "}";
    }
  }
}

TEST(JsonTextTest, RandomDocumentsMatchTheDocumentPath) {
  testing::RandomValues random(2026);
  int made = 0;
  for (int i = 0; i < 4000; ++i) made += expectSameOutcome(randomText(random, 4));
  EXPECT_GT(made, 500);
  // Valid data with priorities, through its export and plain text.
  for (int i = 0; i < 300; ++i) {
    NodePtr node = random.node(4, true);
    ASSERT_TRUE(expectSameOutcome(node->val(true).toJsonString()));
    expectSameOutcome(node->val(false).toJsonString());
    NodePtr back = SnapshotUtilities::nodeFromJsonText(node->val(true).toJsonString());
    EXPECT_TRUE(*back == *node) << node->description();
  }
}

// The written text is byte for byte what serializing the JSON document gives. (Reading it back
// gives the same node where the JSON parser reads the doubles back exactly.)
void expectSameText(const NodePtr& node) {
  for (bool exportFormat : {false, true}) {
    std::string text = SnapshotUtilities::toJsonText(*node, exportFormat);
    EXPECT_EQ(text, boost::json::serialize(SnapshotUtilities::toJson(*node, exportFormat)));
    expectSameOutcome(text);
  }
}

TEST(JsonTextTest, WrittenTextIsTheDocumentsText) {
  testing::RandomValues random(99);
  for (int i = 0; i < 500; ++i) {
    NodePtr node = random.node(4, true);
    expectSameText(node);
    NodePtr back = SnapshotUtilities::nodeFromJsonText(SnapshotUtilities::toJsonText(*node, true));
    EXPECT_TRUE(*back == *node) << node->description();
  }
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
  controls += "\"\\/\x7f\xc3\xa9 end";
  const std::vector<Value> values = {
      Value(),
      Value(true),
      Value(false),
      Value(0.1),
      Value(-0.0),
      Value(1e300),
      Value(1.5e-7),
      Value(5e-324),
      Value(1.7976931348623157e308),
      Value(9223372036854775808.0),
      Value(static_cast<long long>(INT64_MIN)),
      Value(static_cast<long long>(INT64_MAX)),
      Value(controls),
      Value(std::string("")),
      *Value::parseJson(R"({"0": 1, "1": 2, "3": 4})"),
      *Value::parseJson(R"({"0": 1, "2": 2})"),
      *Value::parseJson(R"({"1": 1, "2": 2, "4": 4})"),
      *Value::parseJson(R"({"01": 1, "1": 2})"),
      *Value::parseJson(R"({"0": 1, "1": 2, "6": 3})"),
      *Value::parseJson(R"({"5": [1, [2]]})"),
      *Value::parseJson(R"({"a": {".value": 1.25, ".priority": 0.5}, ".priority": "p"})"),
      *Value::parseJson(
          R"({"a": {".sv": "timestamp"}, "b": {".sv": "timestamp", ".priority": 1}})"),
      *Value::parseJson(R"({".value": {".sv": "timestamp"}, ".priority": {".sv": "timestamp"}})")};
  for (const Value& value : values) expectSameText(SnapshotUtilities::nodeFrom(value));
  // Bytes that are not UTF-8 are written as they are, as the document writes them.
  NodePtr notUtf8 = LeafNode::create(std::string("a\xff\xc3"));
  EXPECT_EQ(SnapshotUtilities::toJsonText(*notUtf8),
            boost::json::serialize(SnapshotUtilities::toJson(*notUtf8)));
  for (int i = 0; i < 2000; ++i) {
    std::uniform_int_distribution<uint64_t> bits;
    double d;
    uint64_t raw = bits(random.engine());
    std::memcpy(&d, &raw, sizeof d);
    if (std::isfinite(d)) expectSameText(LeafNode::create(d));
  }
}

TEST(JsonTextTest, DoublesAreReadBitForBit) {
  // Read straight to nodes, and through the document when a server value needs it.
  auto leafBits = [](const NodePtr& node) {
    const auto& leaf = static_cast<const LeafNode&>(*node);
    const double* d = std::get_if<double>(&leaf.value());
    EXPECT_NE(d, nullptr) << node->description();
    uint64_t bits = 0;
    if (d) std::memcpy(&bits, d, sizeof bits);
    return bits;
  };
  testing::RandomValues random(7);
  std::uniform_int_distribution<uint64_t> bits;
  int checked = 0;
  for (int i = 0; i < 20000; ++i) {
    uint64_t raw = bits(random.engine());
    double d;
    std::memcpy(&d, &raw, sizeof d);
    // Whole numbers become integers; those are exact already.
    if (!std::isfinite(d) || d == std::trunc(d)) continue;
    ++checked;
    char buffer[64];
    std::string number(buffer, std::to_chars(buffer, buffer + sizeof buffer, d).ptr);
    NodePtr direct = SnapshotUtilities::nodeFromJsonText(R"({"a":)" + number + "}");
    ASSERT_EQ(leafBits(direct->getImmediateChild("a")), raw) << number;
    NodePtr viaDocument =
        SnapshotUtilities::nodeFromJsonText(R"({"a":)" + number + R"(,"b":{".sv":"timestamp"}})");
    ASSERT_EQ(leafBits(viaDocument->getImmediateChild("a")), raw) << number;
    NodePtr prioritized = SnapshotUtilities::nodeFromJsonText(R"({".value":)" + number +
                                                              R"(,".priority":)" + number + "}");
    ASSERT_EQ(leafBits(prioritized), raw) << number;
    ASSERT_EQ(leafBits(prioritized->getPriority()), raw) << number;
  }
  EXPECT_GT(checked, 10000);
  NodePtr known = SnapshotUtilities::nodeFromJsonText("-1.774571493258161E-296");
  EXPECT_EQ(std::get<double>(static_cast<const LeafNode&>(*known).value()),
            -1.774571493258161E-296);
}

}  // namespace
}  // namespace dz::database
