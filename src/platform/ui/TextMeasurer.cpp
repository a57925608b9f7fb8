#include "platform/ui/TextMeasurer.h"

#include <algorithm>

namespace platform::ui {

namespace {
std::shared_ptr<TextMeasurer>& currentTextMeasurer() {
  static std::shared_ptr<TextMeasurer> measurer = std::make_shared<FixedTextMeasurer>();
  return measurer;
}
}  // namespace

std::shared_ptr<TextMeasurer> TextMeasurer::current() { return currentTextMeasurer(); }

void TextMeasurer::setCurrent(std::shared_ptr<TextMeasurer> measurer) {
  currentTextMeasurer() = measurer ? std::move(measurer) : std::make_shared<FixedTextMeasurer>();
}

Size FixedTextMeasurer::measure(const std::string& text, const Font& font, double maxWidth,
                                int maxLines) const {
  if (text.empty()) return {};
  int lines = 1;
  double line = 0;
  double widest = 0;
  for (char32_t c : decodeUtf8(text)) {
    if (c == '\n') {
      widest = std::max(widest, line);
      line = 0;
      ++lines;
      continue;
    }
    double a = advance(c, font);
    if (maxWidth > 0 && line > 0 && line + a > maxWidth) {
      widest = std::max(widest, line);
      line = 0;
      ++lines;
    }
    line += a;
  }
  widest = std::max(widest, line);
  if (maxLines > 0) lines = std::min(lines, maxLines);
  return {maxWidth > 0 ? std::min(widest, maxWidth) : widest, lines * lineHeight(font)};
}

std::u32string decodeUtf8(const std::string& text) {
  std::u32string out;
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    bool ok = extra >= 0 && i + extra < text.size();
    char32_t c = ok ? (extra == 0 ? b : (b & (0x3F >> extra))) : 0;
    for (int k = 1; ok && k <= extra; ++k) {
      auto n = static_cast<unsigned char>(text[i + k]);
      ok = (n & 0xC0) == 0x80;
      c = (c << 6) | (n & 0x3F);
    }
    out.push_back(ok ? c : 0xFFFD);
    i += ok ? extra + 1 : 1;
  }
  return out;
}

std::string encodeUtf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace platform::ui
