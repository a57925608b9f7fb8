#include "platform/Bytes.h"

#include <cstring>

#include "platform/Utf8.h"

namespace platform {
namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t need;
  std::uint32_t value;
  if ((lead & 0xE0) == 0xC0) { need = 2; value = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { need = 3; value = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { need = 4; value = lead & 0x07; }
  else return 0;
  if (i + need > text.size()) return 0;
  for (std::size_t k = 1; k < need; ++k) {
    unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) return 0;
    value = (value << 6) | (c & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMin[need] || value > 0x10FFFF) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  return need;
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  return at < text.size() ? sequenceLength(text, at) : 0;
}

std::size_t utf8CharacterBoundary(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  // Back to the lead byte of the character that holds text[limit], if it
  // is one: a cut there leaves that character out.
  std::size_t lead = limit;
  while (lead > 0 && limit - lead < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
  if (lead == limit) return limit;
  // The length its lead byte declares: the rest of it may lie past the text
  // (a text already cut short).
  const auto first = static_cast<unsigned char>(text[lead]);
  const std::size_t length = (first & 0xE0) == 0xC0 ? 2 : (first & 0xF0) == 0xE0 ? 3 : (first & 0xF8) == 0xF0 ? 4 : 0;
  return lead + length > limit ? lead : limit;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    // Runs of ASCII, the usual case, are checked eight bytes at a time.
    if (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    std::size_t n = sequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string toValidUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  std::string valid;
  valid.reserve(text.size() + text.size() / 2);
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = sequenceLength(text, i); n > 0) {
      valid.append(text, i, n);
      i += n;
      continue;
    }
    // A byte of 0x80 or above on its own: U+0080 to U+00FF, two bytes.
    const auto byte = static_cast<unsigned char>(text[i++]);
    valid += static_cast<char>(0xC0 | (byte >> 6));
    valid += static_cast<char>(0x80 | (byte & 0x3F));
  }
  return valid;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = sequenceLength(text, i);
    if (n == 0) { ++units; ++i; continue; }
    units += (n == 4) ? 2 : 1;
    i += n;
  }
  return units;
}

std::u16string utf16Units(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceLength(text, i);
    if (n == 0) { out.push_back(u'\uFFFD'); ++i; continue; }
    std::uint32_t value = static_cast<unsigned char>(text[i]);
    if (n > 1) {
      static constexpr unsigned char kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
      value &= kLeadMask[n];
      for (std::size_t k = 1; k < n; ++k) value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (value >= 0x10000) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
    i += n;
  }
  return out;
}

std::string_view utf16Prefix(std::string_view text, std::size_t units) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t n = sequenceLength(text, i);
    const std::size_t cost = (n == 4) ? 2 : 1;
    if (used + cost > units) break;
    used += cost;
    i += (n == 0) ? 1 : n;
  }
  return text.substr(0, i);
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

std::string lowerCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

std::string upperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<Bytes> hexData(std::string_view text) {
  // Pairs are counted in characters (UTF-16 units), read from the UTF-8
  // bytes: a text with anything but digits in its pairs is refused anyway.
  const std::size_t pairs = utf16Length(text) / 2;
  Bytes out;
  out.reserve(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    const int high = hexDigitValue(text[2 * i]);
    const int low = hexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return out;
}

std::string hexString(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  return out;
}

}  // namespace platform
