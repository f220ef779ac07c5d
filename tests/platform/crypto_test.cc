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

TEST(CryptoTest, Base64EncodeBytesNeedsRoomForTextAndTerminator) {
  char out[32];
  const std::string key = secureRandomBytes(16);
  ASSERT_EQ(base64EncodeBytes(key.data(), key.size(), out, 25), 24);
  EXPECT_EQ(std::string_view(out, 25), base64Encode(key) + '\0');
  EXPECT_EQ(std::string_view(out + 22, 2), "==");
  std::fill(std::begin(out), std::end(out), 'x');
  EXPECT_EQ(base64EncodeBytes(key.data(), key.size(), out, 24), -1);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(base64EncodeBytes("fo", 2, out, 5), 4);
  EXPECT_STREQ(out, "Zm8=");
  EXPECT_EQ(base64EncodeBytes("", 0, out, 1), 0);
  EXPECT_EQ(base64EncodeBytes("", 0, out, 0), -1);
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
