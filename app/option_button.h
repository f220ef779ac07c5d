// OptionButton: one answer of a poll card. Before the viewer voted it shows the option's title on
// a light background; once the viewer voted it shows the title with its count over a result bar
// as wide as the option's share of the votes, and the chosen option takes no more taps. A count
// that rose or fell pulses the button larger or smaller. Main thread only.
#pragma once

#include <memory>

#include "app/records.h"
#include "platform/ui/control.h"
#include "platform/ui/layer.h"

namespace pollapp {

// The application's colours.
inline const dz::ui::Color kAccentColor = dz::ui::Color::rgb255(144, 19, 254);
inline const dz::ui::Color kDarkAccentColor = dz::ui::Color::rgb255(74, 24, 132);
inline const dz::ui::Color kLightBackgroundColor = dz::ui::Color::rgb255(235, 238, 249);

class OptionButton : public dz::ui::Button {
 public:
  static constexpr double kHeight = 50;

  explicit OptionButton(Option option);
  const char* className() const override { return "OptionButton"; }

  const Option& option() const { return option_; }
  bool showResults() const { return showResults_; }
  void setShowResults(bool show) { showResults_ = show; }
  bool wasChosen() const { return wasChosen_; }
  void setWasChosen(bool chosen) { wasChosen_ = chosen; }
  const std::shared_ptr<dz::ui::Layer>& resultBar() const { return resultBar_; }

  // Draws the state above at the button's current width.
  void render();
  // Pulses for a count that rose (larger) or fell (smaller); nothing for an unchanged one.
  void animateDiffs(const OptionDiff& diff);
  void layoutSubviews() override;

 private:
  void updateBar();
  Option option_;
  bool showResults_ = false;
  bool wasChosen_ = false;
  std::shared_ptr<dz::ui::Layer> resultBar_;
};

}  // namespace pollapp
