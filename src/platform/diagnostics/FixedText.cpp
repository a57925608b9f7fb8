#include "platform/diagnostics/FixedText.h"

namespace platform {

FixedText& FixedText::add(char c) {
  if (length_ + 1 < size_) {
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
  }
  return *this;
}

FixedText& FixedText::add(const char* text) {
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) add(*p);
  return *this;
}

FixedText& FixedText::addPadded(const char* text, std::size_t width) {
  std::size_t start = length_;
  add(text);
  while (length_ - start < width && length_ + 1 < size_) add(' ');
  return *this;
}

FixedText& FixedText::addDecimal(std::int64_t value) {
  // Built from the end; the magnitude as unsigned, so the lowest value works.
  char digits[24];
  int count = 0;
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) add('-');
  while (count > 0) add(digits[--count]);
  return *this;
}

FixedText& FixedText::addHex(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char out[16];
  int count = 0;
  do {
    out[count++] = kDigits[value & 0xf];
    value >>= 4;
  } while (value != 0);
  for (int i = count; i < digits; ++i) add('0');
  while (count > 0) add(out[--count]);
  return *this;
}

FixedText& FixedText::addEscaped(const char* text) {
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (*p == '\\') add("\\\\");
    else if (*p == '\n') add("\\n");
    else add(*p);
  }
  return *this;
}

std::string unescapedLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == 'n')) {
      out += line[++i] == 'n' ? '\n' : '\\';
    } else {
      out += line[i];
    }
  }
  return out;
}

}  // namespace platform
