// Colours of the UI layer: red, green, blue and alpha from 0 to 1, not premultiplied.
#pragma once

namespace dz::ui {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;

  static Color rgb(double r, double g, double b, double a = 1) { return {r, g, b, a}; }
  // Components out of 255, as the application's palette is written.
  static Color rgb255(int r, int g, int b, double a = 1) {
    return {r / 255.0, g / 255.0, b / 255.0, a};
  }
  static Color white(double level, double a = 1) { return {level, level, level, a}; }
  static Color clear() { return {}; }
  static Color black() { return white(0); }
  static Color whiteColor() { return white(1); }
  static Color lightGray() { return white(2.0 / 3); }
  static Color darkGray() { return white(1.0 / 3); }

  Color withAlpha(double a) const { return {red, green, blue, a}; }
  bool isClear() const { return alpha <= 0; }
  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace dz::ui
