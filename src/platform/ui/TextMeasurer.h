// Fonts and the measuring of text. The kit lays labels out with the current
// TextMeasurer: a fixed-metric one by default (every character of the Basic
// Latin block half the font size wide, every other one the font size, lines
// 1.2 times the size high), so headless layouts and tests are exact; the
// window installs one that asks the real font.
//
// Ownership: current() is process-wide and shared; setCurrent(nullptr) puts
// the fixed one back. Threading: main thread. Nothing here fails.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/Geometry.h"

namespace platform::ui {

struct Font {
  double size = 17;
  bool bold = false;
  static Font systemFont(double size) { return {size, false}; }
  static Font boldSystemFont(double size) { return {size, true}; }
  friend bool operator==(const Font&, const Font&) = default;
};

class TextMeasurer {
 public:
  virtual ~TextMeasurer() = default;
  // The size of `text` set in lines no wider than `maxWidth` (0: one line per
  // paragraph, no wrapping); at most `maxLines` lines (0: any number).
  virtual Size measure(const std::string& text, const Font& font, double maxWidth, int maxLines) const = 0;
  // The height of one line.
  virtual double lineHeight(const Font& font) const = 0;

  static std::shared_ptr<TextMeasurer> current();
  static void setCurrent(std::shared_ptr<TextMeasurer> measurer);
};

class FixedTextMeasurer final : public TextMeasurer {
 public:
  Size measure(const std::string& text, const Font& font, double maxWidth, int maxLines) const override;
  double lineHeight(const Font& font) const override { return font.size * 1.2; }
  // The advance of each character (UTF-8 decoded).
  static double advance(char32_t c, const Font& font) { return c < 0x80 ? font.size * 0.5 : font.size; }
};

// UTF-8 to code points (malformed bytes become U+FFFD), and back.
std::u32string decodeUtf8(const std::string& text);
std::string encodeUtf8(const std::u32string& text);

}  // namespace platform::ui
