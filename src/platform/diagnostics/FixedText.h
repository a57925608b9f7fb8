// A text built in a buffer the caller owns, for code that runs where nothing
// may be allocated (a signal handler): plain texts, padded texts, decimal and
// hexadecimal numbers, and texts with their backslashes and line breaks
// escaped. What does not fit is cut off; the text always ends with a NUL.
//
// The escaped texts are lines of a file the program reads back (the crash
// note), exactly as they were: only what would split the line is escaped,
// and every other character, control or not, is kept. They are not for a
// terminal or a log: a text shown there goes through printableText
// (platform/PrintableText.h), which also escapes the other controls and the
// bidirectional ones.
//
// Ownership: borrows the buffer. Threading: one thread. Every member is
// async-signal-safe. Failure: none (a full buffer drops what follows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class FixedText {
 public:
  // `size` must be at least 1 (room for the NUL).
  FixedText(char* buffer, std::size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }

  FixedText& add(char c);
  FixedText& add(const char* text);
  // The text, then spaces up to `width` characters.
  FixedText& addPadded(const char* text, std::size_t width);
  FixedText& addDecimal(std::int64_t value);
  // Lower-case digits, at least `digits` of them (zeros in front).
  FixedText& addHex(std::uint64_t value, int digits = 1);
  // The text with "\" written "\\" and a line feed "\n", so that it stays on
  // one line of a file (unescapedLine reverses it); nothing else is changed.
  FixedText& addEscaped(const char* text);

  const char* text() const { return buffer_; }
  std::size_t length() const { return length_; }
  void clear() {
    length_ = 0;
    buffer_[0] = '\0';
  }

 private:
  char* buffer_;
  std::size_t size_;
  std::size_t length_ = 0;
};

// The text of an addEscaped line ("\\" -> "\", "\n" -> line feed; any
// other backslash is kept as it stands). Ordinary code: it allocates.
std::string unescapedLine(std::string_view line);

}  // namespace platform
