// FormField: the text field of the application's forms: a rounded light field whose text keeps
// clear of the rounded ends. Main thread only.
#pragma once

#include <string>

#include "app/option_button.h"
#include "platform/ui/text_input.h"

namespace pollapp {

class FormField : public dz::ui::TextField {
 public:
  static constexpr double kHeight = 44;

  explicit FormField(std::string placeholder) {
    setPlaceholder(std::move(placeholder));
    setBackgroundColor(kLightBackgroundColor);
    layer()->setCornerRadius(kHeight / 2);
    setFixedHeight(kHeight);
  }
  const char* className() const override { return "FormField"; }
  void draw(dz::ui::GraphicsContext& context, const dz::ui::Rect& bounds) override {
    TextField::draw(context, bounds.insetBy(kHeight / 2 - 4, 0));
  }
};

}  // namespace pollapp
