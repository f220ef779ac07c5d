#include "platform/ui/label.h"

#include <cmath>

#include "platform/ui/graphics_context.h"

namespace dz::ui {

Label::Label(const Rect& frame) : View(frame) {
  setUserInteractionEnabled(false);
  layer()->setNeedsDisplayOnBoundsChange(true);
}

void Label::setText(std::optional<std::string> text) {
  text_ = std::move(text);
  setNeedsDisplay();
}

void Label::setFont(const Font& font) {
  font_ = font;
  setNeedsDisplay();
}

void Label::setTextColor(Color color) {
  textColor_ = color;
  setNeedsDisplay();
}

void Label::setTextAlignment(TextAlignment alignment) {
  alignment_ = alignment;
  setNeedsDisplay();
}

void Label::setNumberOfLines(int lines) {
  numberOfLines_ = lines;
  setNeedsDisplay();
}

void Label::setAdjustsFontSizeToFitWidth(bool adjusts) {
  adjustsFontSize_ = adjusts;
  setNeedsDisplay();
}

TextLayout Label::layout(double width, double height) const {
  std::string_view text = text_ ? std::string_view(*text_) : std::string_view();
  Font font = font_;
  if (adjustsFontSize_ && width > 0 && numberOfLines_ == 1) {
    double natural = layoutText(text, font, {}, 0).size.width;
    if (natural > width) {
      double factor = std::max(width / natural, minimumScaleFactor_);
      font = font.withSize(font.pointSize * factor);
    }
  }
  unsigned options = numberOfLines_ == 1 ? 0u : unsigned{kUsesLineFragmentOrigin};
  if (height > 0) options |= kTruncatesLastVisibleLine;
  return layoutText(text, font, {width, height}, options, numberOfLines_);
}

Size Label::sizeThatFits(Size size) const {
  Size fitted = layout(size.width > 0 && std::isfinite(size.width) ? size.width : 0).size;
  return {std::ceil(fitted.width), std::ceil(fitted.height)};
}

void Label::draw(GraphicsContext& context, const Rect& bounds) {
  if (!text_) return;
  // Lines below the bottom edge give way, so the text starts at its first line.
  context.drawText(layout(bounds.width(), bounds.height()), bounds, textColor_, alignment_);
}

std::string Label::describe() const {
  std::string line = View::describe();
  if (text_) line += " text=\"" + *text_ + "\"";
  return line;
}

}  // namespace dz::ui
