// Colours of the UI kit: red, green, blue and alpha between 0 and 1, and the
// hexadecimal texts the screens write them in ("a3a3a3" opaque, eight digits
// with the alpha first: "d0ffffff"). A text that is not six or eight hex
// digits (a leading '#' is allowed) reads as the clear colour.
#pragma once

#include <string>
#include <string_view>

namespace platform::ui {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;

  static Color clear() { return {}; }
  static Color black() { return {0, 0, 0, 1}; }
  static Color white() { return {1, 1, 1, 1}; }
  static Color yellow() { return {1, 1, 0, 1}; }
  static Color gray(double white, double alpha = 1) { return {white, white, white, alpha}; }
  Color withAlpha(double a) const { return {red, green, blue, a}; }
  bool isClear() const { return alpha <= 0; }
  // "#aarrggbb", for descriptions.
  std::string hexString() const;
  friend bool operator==(const Color&, const Color&) = default;
};

Color colorWithHexString(std::string_view hex);

}  // namespace platform::ui
