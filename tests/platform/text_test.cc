#include "platform/text.h"

#include <gtest/gtest.h>

namespace dz::platform {
namespace {

bool keepLetters(unsigned char byte) { return isAsciiAlphanumeric(byte) && !(byte <= '9'); }

TEST(TextTest, LowerCasingTouchesAsciiCapitalsOnly) {
  EXPECT_EQ(asciiLowercased("Ns.DZ.Test:443/A_b"), "ns.dz.test:443/a_b");
  // Bytes of other scripts (here "É" in UTF-8) are not ASCII and pass unchanged.
  EXPECT_EQ(asciiLowercased("\xC3\x89T\xC3\xA9"), "\xC3\x89t\xC3\xA9");
  EXPECT_EQ(asciiLowercased(std::string_view("A\0B", 3)), std::string("a\0b", 3));
}

TEST(TextTest, PercentEncodingKeepsWhatTheCallerKeepsAndDecodingUndoesIt) {
  EXPECT_EQ(percentEncoded("ab 12/\xC3\xA9%", keepLetters), "ab%20%31%32%2F%C3%A9%25");
  EXPECT_EQ(percentEncoded("", keepLetters), "");
  EXPECT_EQ(percentEncoded(std::string_view("\0\xFF", 2), keepLetters), "%00%FF");
  for (std::string text : {"a b/c?d=e&f", "\xC3\xA9\x01", "100%"}) {
    EXPECT_EQ(percentDecoded(percentEncoded(text, keepLetters)), text);
  }
  // Lower-case digits decode too; a "%" without two hexadecimal digits stands for itself.
  EXPECT_EQ(percentDecoded("%2f%2F%zz%4"), "//%zz%4");
  EXPECT_EQ(percentDecoded("a%"), "a%");
  // "+" is a blank only in form bodies.
  EXPECT_EQ(percentDecoded("a+b%2B"), "a+b+");
  EXPECT_EQ(percentDecoded("a+b%2B", true), "a b+");
}

TEST(TextTest, HexWritesTwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(hexString(""), "");
  EXPECT_EQ(hexString(std::string_view("\x00\x0F\xA0\xFF", 4)), "000fa0ff");
}

}  // namespace
}  // namespace dz::platform
