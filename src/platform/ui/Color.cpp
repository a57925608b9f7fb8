#include "platform/ui/Color.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace platform::ui {

namespace {
int colorHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int colorChannelByte(double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); }
}  // namespace

std::string Color::hexString() const {
  char text[10];
  std::snprintf(text, sizeof text, "#%02x%02x%02x%02x", colorChannelByte(alpha), colorChannelByte(red),
                colorChannelByte(green), colorChannelByte(blue));
  return text;
}

Color colorWithHexString(std::string_view hex) {
  if (!hex.empty() && hex.front() == '#') hex.remove_prefix(1);
  if (hex.size() != 6 && hex.size() != 8) return Color::clear();
  int bytes[4] = {255, 0, 0, 0};
  int first = hex.size() == 8 ? 0 : 1;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = colorHexDigit(hex[i]);
    int lo = colorHexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return Color::clear();
    bytes[first + static_cast<int>(i / 2)] = hi * 16 + lo;
  }
  return {bytes[1] / 255.0, bytes[2] / 255.0, bytes[3] / 255.0, bytes[0] / 255.0};
}

}  // namespace platform::ui
