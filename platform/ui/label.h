// Label: a view showing text, wrapped to its width and up to numberOfLines lines (0: any), with
// the text absent (no text) distinct from empty. Main thread only.
#pragma once

#include <optional>
#include <string>

#include "platform/ui/font.h"
#include "platform/ui/view.h"

namespace dz::ui {

// Where a line shrunk to fit the width sits. Recorded only: the stand-in draws a shrunk line
// centred in the label's height, as AlignCenters places it.
enum class BaselineAdjustment { AlignBaselines, AlignCenters, None };

class Label : public View {
 public:
  explicit Label(const Rect& frame = {});
  const char* className() const override { return "Label"; }

  const std::optional<std::string>& text() const { return text_; }
  void setText(std::optional<std::string> text);
  const Font& font() const { return font_; }
  void setFont(const Font& font);
  Color textColor() const { return textColor_; }
  void setTextColor(Color color);
  TextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(TextAlignment alignment);
  int numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int lines);
  // Shrinks the font, down to minimumScaleFactor, until one line fits the width.
  bool adjustsFontSizeToFitWidth() const { return adjustsFontSize_; }
  void setAdjustsFontSizeToFitWidth(bool adjusts);
  double minimumScaleFactor() const { return minimumScaleFactor_; }
  void setMinimumScaleFactor(double factor) { minimumScaleFactor_ = factor; }
  BaselineAdjustment baselineAdjustment() const { return baselineAdjustment_; }
  void setBaselineAdjustment(BaselineAdjustment adjustment) { baselineAdjustment_ = adjustment; }

  // The text laid out for a width (0: unlimited) with the font in effect. A height above 0 keeps
  // the lines that fit it (at least one), the last visible one ending in "…".
  TextLayout layout(double width, double height = 0) const;
  Size sizeThatFits(Size size) const override;
  bool drawsContent() const override { return true; }
  void draw(GraphicsContext& context, const Rect& bounds) override;
  std::string describe() const override;

 private:
  std::optional<std::string> text_;
  Font font_ = Font::system(17);
  Color textColor_ = Color::black();
  TextAlignment alignment_ = TextAlignment::Left;
  int numberOfLines_ = 1;
  bool adjustsFontSize_ = false;
  double minimumScaleFactor_ = 0;
  BaselineAdjustment baselineAdjustment_ = BaselineAdjustment::AlignBaselines;
};

}  // namespace dz::ui
