#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <vector>

namespace dz::platform {
namespace {

TEST(CryptoTest, Sha1AndBase64MatchKnownVectors) {
  EXPECT_EQ(base64Encode(sha1("abc")), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
}

TEST(CryptoTest, Base64DecodeRoundTripsAndRefusesGarbage) {
  for (const std::string& text :
       std::vector<std::string>{"", "f", "fo", "foo", "foob", std::string("\0\xff\x10", 3)}) {
    EXPECT_EQ(base64Decode(base64Encode(text)), text);
  }
  EXPECT_FALSE(base64Decode("abc"));
  EXPECT_FALSE(base64Decode("a$c="));
  // Padding only at the end and at most two; no blanks: the decoder underneath would read each
  // of these as zero bytes.
  for (std::string_view bad : {"A=AA", "AA=A", "====", "A===", "AAA=AAA=", "AA==    ", "Zm 9v=="}) {
    EXPECT_FALSE(base64Decode(bad)) << bad;
  }
  EXPECT_EQ(base64Decode("Zm8="), "fo");
  EXPECT_EQ(base64Decode("+/+/"), "\xfb\xff\xbf");
}

TEST(CryptoTest, SecureRandomBytesHaveTheAskedLengthAndDiffer) {
  EXPECT_EQ(secureRandomBytes(16).size(), 16u);
  EXPECT_NE(secureRandomBytes(16), secureRandomBytes(16));
  EXPECT_EQ(secureRandomBytes(0), "");
}

}  // namespace
}  // namespace dz::platform
