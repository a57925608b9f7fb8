#include "platform/PrintableText.h"

#include "platform/Utf8.h"

namespace platform {

std::string printableText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8SequenceLength(text, at);
    if (length > 1) {
      // A C1 control is U+0080 to U+009F: C2 80 to C2 9F.
      const auto second = static_cast<unsigned char>(text[at + 1]);
      if (byte == 0xC2 && second <= 0x9F) {
        shown += "\\u00";
        shown += kHex[second >> 4];
        shown += kHex[second & 0xF];
      } else {
        shown.append(text, at, length);
      }
      at += length;
      continue;
    }
    ++at;
    switch (byte) {
      case '\\':
        shown += "\\\\";
        continue;
      case '\n':
        shown += "\\n";
        continue;
      case '\r':
        shown += "\\r";
        continue;
      case '\t':
        shown += "\\t";
        continue;
      default:
        break;
    }
    if (length == 1 && byte >= 0x20 && byte != 0x7F) {
      shown += static_cast<char>(byte);
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

}  // namespace platform
