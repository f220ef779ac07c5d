#include "app/option_button.h"

#include <algorithm>

namespace pollapp {

using dz::ui::AffineTransform;
using dz::ui::Color;
using dz::ui::Rect;
using dz::ui::View;

OptionButton::OptionButton(Option option)
    : Button(Type::Custom), option_(std::move(option)), resultBar_(dz::ui::Layer::create()) {
  setFixedHeight(kHeight);
  setClipsToBounds(true);
  layer()->setCornerRadius(kHeight / 2);
  titleLabel()->setNumberOfLines(1);
  titleLabel()->setAdjustsFontSizeToFitWidth(true);
  titleLabel()->setMinimumScaleFactor(0.5);
  setTitleEdgeInsets({2, 6, 2, 6});
  resultBar_->setFrame(Rect::make(0, 0, 0, kHeight));
  layer()->insertSublayer(resultBar_, 0);
  setTitle(option_.title());
}

void OptionButton::render() {
  if (!showResults_) {
    resultBar_->setHidden(true);
    setUserInteractionEnabled(true);
    setTitleColor(Color::black());
    setBackgroundColor(kLightBackgroundColor);
    setTitle(option_.title());
    return;
  }
  resultBar_->setHidden(false);
  updateBar();
  resultBar_->setBackgroundColor(kAccentColor);
  setUserInteractionEnabled(!wasChosen_);
  setTitleColor(Color::whiteColor());
  setBackgroundColor(kDarkAccentColor);
  setTitle(option_.title() + " (" + std::to_string(option_.result()) + ")");
}

void OptionButton::updateBar() {
  PollPtr poll = option_.poll();
  const double total = static_cast<double>(std::max<int64_t>(poll ? poll->voteCount() : 0, 1));
  dz::ui::Transaction::DisableActions still;
  resultBar_->setFrame(Rect::make(0, 0, option_.result() / total * bounds().size.width, kHeight));
}

void OptionButton::layoutSubviews() {
  Button::layoutSubviews();
  // The bar follows the width the stack gave the button.
  if (showResults_) updateBar();
}

void OptionButton::animateDiffs(const OptionDiff& diff) {
  AffineTransform target = AffineTransform::identity();
  if (diff.gained) {
    target = AffineTransform::makeScale(1.1, 1.1);
  } else if (diff.lost) {
    target = AffineTransform::makeScale(0.9, 0.9);
  } else {
    return;
  }
  std::weak_ptr<View> weak = weak_from_this();
  View::animate(
      0.15, [this, target] { setTransform(target); },
      [weak](bool) {
        if (auto self = weak.lock()) {
          View::animate(0.1, [self] { self->setTransform(AffineTransform::identity()); });
        }
      });
}

}  // namespace pollapp
