// Fonts and text layout of the UI layer. Text is set in the layer's own bitmap face (5 × 9 cells
// on a grid of a tenth of the point size), so that measurement is exact and the same on every
// machine, and drawing matches measurement pixel for pixel. Plain value types; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/geometry.h"

namespace dz::ui {

enum class TextStyle {
  Title1,
  Title2,
  Title3,
  Headline,
  Body,
  Callout,
  Subheadline,
  Footnote,
  Caption1,
  Caption2
};

struct Font {
  std::string name = "System";
  double pointSize = 17;
  bool bold = false;

  static Font system(double size) { return {"System", size, false}; }
  static Font boldSystem(double size) { return {"System-Bold", size, true}; }
  // The face and size the platform prefers for a text style at the default content size.
  static Font preferred(TextStyle style);
  Font withSize(double size) const { return {name, size, bold}; }

  // One grid step: glyphs are 5 × 9 steps in a cell of 6 × 12.
  double unit() const { return pointSize / 10; }
  double lineHeight() const { return 12 * unit(); }
  double advance() const { return 6 * unit(); }
  friend bool operator==(const Font&, const Font&) = default;
};

// Options of text measurement, with the platform's bit values.
enum DrawingOptions : unsigned {
  kUsesLineFragmentOrigin = 1,
  kUsesFontLeading = 2,
  kTruncatesLastVisibleLine = 32,
};

enum class TextAlignment { Left, Center, Right };

struct TextLayout {
  std::vector<std::u32string> lines;
  Size size;  // of the widest line by the number of lines
  Font font;
};

// Lays `text` (UTF-8; invalid bytes read as U+FFFD) out within `maxSize`: words wrap at the width
// (a word longer than a line breaks between characters), "\n" breaks a line, and lines that do not
// fit the height are dropped, the last one kept ending in "…" with kTruncatesLastVisibleLine.
// Without kUsesLineFragmentOrigin the text is one line. A dimension of 0 or less has no limit;
// `maxLines` 0 has none.
TextLayout layoutText(std::string_view text, const Font& font, Size maxSize,
                      unsigned options = kUsesLineFragmentOrigin, int maxLines = 0);
// The measured rectangle at origin 0, 0.
Rect boundingRect(std::string_view text, const Font& font, Size maxSize, unsigned options);

// Length in UTF-16 code units, as the platform counts string lengths.
size_t utf16Length(std::string_view text);
std::u32string decodeUtf8(std::string_view text);

// A glyph's rows, top first; bit 4 is the left column. Rows 0-6 stand on the baseline, 7-8 hang
// below it. Characters without a glyph get a hollow box; combining marks and variation selectors
// take no room (width 0).
struct Glyph {
  uint8_t rows[9] = {};
  bool zeroWidth = false;
};
const Glyph& glyphFor(char32_t c);

}  // namespace dz::ui
