// Text layout: exact widths, wrapping, truncation, and UTF-8 input of any quality.
#include <gtest/gtest.h>

#include "platform/ui/font.h"

namespace dz::ui {
namespace {

const Font kFont = Font::system(10);  // 6 points a character, 12 a line

TEST(TextLayoutTest, WrapsAtWordsAndBreaksLongWords) {
  TextLayout layout = layoutText("poll sent to everyone", kFont, {60, 0});
  EXPECT_EQ(layout.lines.size(), 3u);  // "poll sent" / "to" ... within 10 characters
  EXPECT_LE(layout.size.width, 60);
  EXPECT_EQ(layout.size.height, 36);
  EXPECT_EQ(layoutText("abcdefghijklmnop", kFont, {60, 0}).lines.size(), 2u);
  EXPECT_EQ(layoutText("one\ntwo", kFont, {}).lines.size(), 2u);
  EXPECT_EQ(layoutText("one\ntwo", kFont, {}, 0).lines.size(), 1u);
  EXPECT_EQ(boundingRect("", kFont, {200, 300}, kUsesLineFragmentOrigin).size, (Size{0, 0}));
}

TEST(TextLayoutTest, TruncatesTheLastVisibleLine) {
  TextLayout layout = layoutText("a b c d e f", kFont, {12, 30},
                                 kUsesLineFragmentOrigin | kTruncatesLastVisibleLine);
  ASSERT_EQ(layout.lines.size(), 2u);  // 30 points hold two lines
  EXPECT_EQ(layout.lines.back().back(), U'\u2026');
}

TEST(TextLayoutTest, CountsUtf16AndSurvivesBrokenUtf8) {
  EXPECT_EQ(utf16Length("h\xC3\xA9"), 2u);
  EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80"), 2u);
  std::u32string decoded = decodeUtf8("a\xFF\xC3");
  EXPECT_EQ(decoded, (std::u32string{U'a', 0xFFFD, 0xFFFD}));
  // Variation selectors take no room; unknown characters take one cell.
  EXPECT_EQ(layoutText("\u2714\uFE0E", kFont, {}).size.width, 6);
}

}  // namespace
}  // namespace dz::ui
