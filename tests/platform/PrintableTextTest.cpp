#include <gtest/gtest.h>

#include <string>

#include "platform/PrintableText.h"

namespace {

// Names as a user (or anyone who can put a file in the folder) may give
// them: what would act on a terminal or split a log line is shown escaped,
// every other character as it is.
TEST(PrintableText, ControlCharactersAndInvalidBytesAreEscapedTheRestStays) {
  struct Case {
    const char* what;
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"plain", "2023 Trip/IMG_0001.JPG", "2023 Trip/IMG_0001.JPG"},
      {"Chinese and accents", "旅行/照片 été.jpg", "旅行/照片 été.jpg"},
      {"four-byte characters", "\xF0\x9F\x93\xB7.jpg", "\xF0\x9F\x93\xB7.jpg"},
      {"a title-setting escape", "a\x1b]0;owned\x07.jpg", "a\\x1b]0;owned\\x07.jpg"},
      {"line breaks and tab", "a\nb\rc\td", "a\\nb\\rc\\td"},
      {"DEL and other C0 controls", std::string("\x7f\x01\x1f", 3) + std::string(1, '\0'),
       "\\x7f\\x01\\x1f\\x00"},
      {"C1 controls", "a\xC2\x85z\xC2\x9B" "1m\xC2\x80", "a\\u0085z\\u009b1m\\u0080"},
      {"just above the C1 controls", "\xC2\xA0\xC2\xA9", "\xC2\xA0\xC2\xA9"},
      {"a backslash is doubled", "a\\x1b.jpg", "a\\\\x1b.jpg"},
      {"a byte outside UTF-8", "IMG\xFF.jpg", "IMG\\xff.jpg"},
      {"a sequence cut short", "a\xE6\x97", "a\\xe6\\x97"},
      {"a lone continuation byte", "\x80z", "\\x80z"},
      {"an overlong form", "\xC0\xAF", "\\xc0\\xaf"},
      {"a surrogate", "\xED\xA0\x80", "\\xed\\xa0\\x80"},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform::printableText(c.text), c.shown);
  }
}

}  // namespace
