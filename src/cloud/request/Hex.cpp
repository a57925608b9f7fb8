#include "cloud/request/Hex.h"

namespace lumora {

std::optional<platform::Bytes> hexData(std::string_view text) {
  // Pairs are counted in characters (UTF-16 units), read from the UTF-8
  // bytes: a text with anything but digits in its pairs is refused anyway.
  const std::size_t pairs = platform::utf16Length(text) / 2;
  platform::Bytes out;
  out.reserve(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    const int high = platform::hexDigitValue(text[2 * i]);
    const int low = platform::hexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return out;
}

}  // namespace lumora
