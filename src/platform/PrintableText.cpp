#include "platform/PrintableText.h"

#include "platform/Utf8.h"

namespace platform {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point of the well-formed character of `length` bytes at
// text[at] when it is one that acts on a terminal or reorders the text
// around it although it is no C0 control: a C1 control (U+0080 to U+009F,
// C2 80 to C2 9F), an embedding or override (U+202A to U+202E, E2 80 AA to
// E2 80 AE) or an isolate (U+2066 to U+2069, E2 81 A6 to E2 81 A9). 0 for
// any other character.
char32_t escapedCharacter(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  if (length == 2 && byte(0) == 0xC2 && byte(1) <= 0x9F) return byte(1);
  if (length != 3 || byte(0) != 0xE2) return 0;
  if (byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) return 0x2000 + byte(2) - 0x80;
  if (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9) return 0x2040 + byte(2) - 0x80;
  return 0;
}

void appendEscape(std::string& shown, char32_t character) {
  shown += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) shown += kHex[(character >> shift) & 0xF];
}

}  // namespace

std::string printableText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8SequenceLength(text, at);
    if (length > 1) {
      if (const char32_t control = escapedCharacter(text, at, length)) {
        appendEscape(shown, control);
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

std::string printableJsonText(std::string_view json) {
  std::string shown;
  shown.reserve(json.size());
  for (std::size_t at = 0; at < json.size();) {
    const std::size_t length = utf8SequenceLength(json, at);
    if (length == 0) {
      shown += json[at++];
      continue;
    }
    if (const char32_t control = escapedCharacter(json, at, length)) {
      appendEscape(shown, control);
    } else {
      shown.append(json, at, length);
    }
    at += length;
  }
  return shown;
}

}  // namespace platform
