#include "database/snapshot/hashing.h"

#include <gtest/gtest.h>

#include <set>

#include "database/snapshot/snapshot_utilities.h"
#include "tests/database/snapshot/node_literals.h"

namespace dz::database {
namespace {

using node_literals::node;

// The vectors of docs/data-model.md; the development server must produce the same.
TEST(DataHashTest, TestVectors) {
  EXPECT_EQ(node(R"("hello")")->dataHash(), "09MuzxgW92AUs3W04LcnutDYgB4=");
  EXPECT_EQ(node("1")->dataHash(), "ezQ0SO2HslS3nronvBjCGy+YXww=");
  EXPECT_EQ(node("1.0")->dataHash(), "ezQ0SO2HslS3nronvBjCGy+YXww=");
  EXPECT_EQ(node("1.5")->dataHash(), "ywL3+aDQQojOaoPhK//QBmkyo4A=");
  EXPECT_EQ(node("0.1")->dataHash(), "/TJmhRXghOGHA9W84IiXRFUxxj8=");
  EXPECT_EQ(node("1e300")->dataHash(), "4SBWkfCiuCOyU4TVbkhfmD0qI2k=");
  EXPECT_EQ(node("true")->dataHash(), "E5z61QM0lN/U2WsOnusszCTkR8M=");
  EXPECT_EQ(node(R"({".value": "a", ".priority": 2})")->dataHash(), "b3+6Nsxg7J1WMw1LKxTAzectSNA=");
  EXPECT_EQ(node(R"({"b": 2, "a": "x"})")->dataHash(), "cTldCIe2s+vw95r8O5OuvOBYFGQ=");
  EXPECT_EQ(node(R"({"10": 1, "9": 2})")->dataHash(), "5xlsY9SEwW9GdxZkfy97s+R1bVQ=");
  EXPECT_EQ(node(R"({"a": "x", ".priority": "p"})")->dataHash(), "cK4yno4EMNUFie7M3exoDuWBWCc=");
  EXPECT_EQ(node(R"("say \"hi\" \\ bye")")->dataHash(), "BchE4AZmm5+HBDL9IRhf5Kp3OZY=");
  EXPECT_EQ(node(R"({"a": {"b": true}})")->dataHash(), "kZcfc89/RkDgj553qDGEhdbdj+M=");
  EXPECT_EQ(node(R"({".sv": "timestamp"})")->dataHash(), "Ksp8RHSIuL8+TSTtUiXp/35liRg=");
  EXPECT_EQ(hashOfText(R"(sv:"{\".sv\":\"timestamp\"}")"), "Ksp8RHSIuL8+TSTtUiXp/35liRg=");
  EXPECT_EQ(node("-1.774571493258161E-296")->dataHash(), "NXlM177QTo2uyP5aFFzBVwM0B6c=");
  EXPECT_EQ(node("null")->dataHash(), "");
}

TEST(DataHashTest, NumbersHashByValueNotByType) {
  EXPECT_EQ(node("-0.0")->dataHash(), node("0")->dataHash());
  EXPECT_EQ(node("4611686018427387904")->dataHash(), node("4611686018427387904.0")->dataHash());
  EXPECT_EQ(numberHashText(1e20), "1e+20");
  EXPECT_EQ(numberHashText(-9223372036854775808.0), "-9223372036854775808");
  EXPECT_EQ(numberHashText(9223372036854775808.0), "9223372036854775808");  // no int64 twin
  EXPECT_EQ(numberHashText(1.5e-7), "1.5e-07");
  // Fixed or scientific, whichever is shorter (fixed on a tie), as the data model notes say.
  EXPECT_EQ(numberHashText(0.001), "0.001");
  EXPECT_EQ(numberHashText(1e-4), "1e-04");
  EXPECT_EQ(numberHashText(123.456), "123.456");
  EXPECT_EQ(numberHashText(1.2345678901234568e22), "1.2345678901234568e+22");
  // Read from text exactly, so the hash is the one the writer of the text computed.
  EXPECT_EQ(numberHashText(
                SnapshotUtilities::nodeFromJsonText("-1.774571493258161E-296")->val().asDouble()),
            "-1.774571493258161e-296");
  EXPECT_NE(node("9007199254740993")->dataHash(), node("9007199254740992.0")->dataHash());
}

TEST(DataHashTest, HashesTellDifferentDataApart) {
  std::vector<const char*> distinct = {R"("1")",
                                       "1",
                                       "true",
                                       R"({"a": 1})",
                                       R"({"a": "1"})",
                                       R"({"b": 1})",
                                       R"({".value": 1, ".priority": 1})",
                                       R"({"a": 1, ".priority": 1})",
                                       R"({"a": {".value": 1, ".priority": 1}})",
                                       R"("a:string:b")",
                                       R"({"a:": 1})",
                                       R"({".value": "b:number:1", ".priority": "a"})",
                                       R"({".value": 1, ".priority": "a:string:b"})"};
  std::set<std::string> hashes;
  for (const char* json : distinct)
    EXPECT_TRUE(hashes.insert(node(json)->dataHash()).second) << json;
}

}  // namespace
}  // namespace dz::database
