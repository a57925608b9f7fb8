#include <gtest/gtest.h>

#include <string>

#include "platform/JsonParse.h"
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

// The bidirectional controls would show a name, and what follows it on
// the line, in another order than its own ("rtl" U+202E "gpj.exe.JPG"
// reads "rtlGPJ.exe.jpg"): each of the nine is escaped, wherever it
// stands; the characters beside them in Unicode, the marks U+200E and
// U+200F and right-to-left letters, stay.
TEST(PrintableText, BidirectionalControlsAreEscapedTheirNeighboursStay) {
  struct Case {
    const char* what;
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"LRE", "a\xE2\x80\xAA" "b", "a\\u202ab"},
      {"RLE", "a\xE2\x80\xAB" "b", "a\\u202bb"},
      {"PDF", "a\xE2\x80\xAC" "b", "a\\u202cb"},
      {"LRO", "a\xE2\x80\xAD" "b", "a\\u202db"},
      {"RLO", "rtl\xE2\x80\xAE" "gpj.exe.JPG", "rtl\\u202egpj.exe.JPG"},
      {"LRI", "a\xE2\x81\xA6" "b", "a\\u2066b"},
      {"RLI", "a\xE2\x81\xA7" "b", "a\\u2067b"},
      {"FSI", "a\xE2\x81\xA8" "b", "a\\u2068b"},
      {"PDI", "a\xE2\x81\xA9" "b", "a\\u2069b"},
      {"at either end and twice", "\xE2\x80\xAE" "x\xE2\x81\xA9\xE2\x81\xA9", "\\u202ex\\u2069\\u2069"},
      {"beside C0 and C1 controls", "\x1b\xE2\x80\xAE\xC2\x85", "\\x1b\\u202e\\u0085"},
      {"the paragraph separator and narrow space around the first range", "\xE2\x80\xA9\xE2\x80\xAF",
       "\xE2\x80\xA9\xE2\x80\xAF"},
      {"the invisible operators and deprecated format characters around the second", "\xE2\x81\xA5\xE2\x81\xAA",
       "\xE2\x81\xA5\xE2\x81\xAA"},
      {"LRM and RLM", "\xE2\x80\x8E\xE2\x80\x8F", "\xE2\x80\x8E\xE2\x80\x8F"},
      {"Hebrew and Arabic letters", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD8\xB3\xD9\x84\xD8\xA7\xD9\x85.jpg",
       "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD8\xB3\xD9\x84\xD8\xA7\xD9\x85.jpg"},
      {"an RLO cut short", "a\xE2\x80", "a\\xe2\\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform::printableText(c.text), c.shown);
  }
}

// A JSON line for a log shows the same controls as JSON escapes, and stays
// the same JSON: read back, every value is what it was, and what the dump
// escaped itself (quotes, backslashes, C0) is not escaped twice.
TEST(PrintableText, JsonKeepsItsValuesWithTheControlsEscaped) {
  const platform::Json value = {
      {"fileName", "rtl\xE2\x80\xAE" "gpj.exe.JPG"},
      {"album", "\xE2\x81\xA7\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\xE2\x81\xA9 \xC2\x9B" "1m"},
      {"said", "a \"quoted\" back\\slash and\ta tab"},
      {"plain", {1, "\xE6\x97\x85\xE8\xA1\x8C"}},
  };
  const std::string shown = platform::printableJsonText(value.dump());
  for (const char* control : {"\xE2\x80\xAE", "\xE2\x81\xA7", "\xE2\x81\xA9", "\xC2\x9B"}) {
    EXPECT_EQ(shown.find(control), std::string::npos) << shown;
  }
  EXPECT_NE(shown.find("\"rtl\\u202egpj.exe.JPG\""), std::string::npos) << shown;
  EXPECT_NE(shown.find("\"\\u2067\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D\\u2069 \\u009b1m\""), std::string::npos) << shown;
  EXPECT_NE(shown.find(R"("a \"quoted\" back\\slash and\ta tab")"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\xE6\x97\x85\xE8\xA1\x8C"), std::string::npos) << shown;
  const platform::Json read = platform::parseJson(shown);
  ASSERT_FALSE(read.is_discarded()) << shown;
  EXPECT_EQ(read, value);
}

}  // namespace
