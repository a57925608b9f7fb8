#include <gtest/gtest.h>

#include <string>

#include "platform/Bytes.h"
#include "stats/KoStatDateUtil.h"
#include "stats/KoStatJSONUtil.h"
#include "stats/KoStatUrlCoder.h"
#include "stats/KoStatUrlUtil.h"

namespace {

using lumora::KoStatUrlCoder;
using platform::Json;

TEST(KoStatUrlCoder, DigestsAreUpperCaseAndTheShortOneIsTheMiddle) {
  for (const std::string text : {"abc", "The quick brown fox", "\xE4\xB8\xAD\xE6\x96\x87", " "}) {
    auto full = KoStatUrlCoder::md5String(text);
    auto middle = KoStatUrlCoder::md5String16(text);
    ASSERT_TRUE(full && middle) << text;
    EXPECT_EQ(full->size(), 32u);
    EXPECT_EQ(*full, platform::upperCased(*full));
    EXPECT_EQ(*middle, full->substr(8, 16)) << text;
  }
  EXPECT_EQ(KoStatUrlCoder::md5String("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(KoStatUrlCoder::md5String(""), std::nullopt);
  EXPECT_EQ(KoStatUrlCoder::md5String16(""), std::nullopt);
}

TEST(KoStatUrlCoder, Base64SkipsBlanksAndRefusesForeignCharacters) {
  const platform::Bytes hello = platform::toBytes("hello, world");
  auto encoded = KoStatUrlCoder::encodeBase64WithData(hello);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, "aGVsbG8sIHdvcmxk");
  EXPECT_EQ(KoStatUrlCoder::encodeBase64WithString("hello, world"), encoded);
  EXPECT_EQ(KoStatUrlCoder::encodeBase64WithData({}), std::nullopt);

  struct Case {
    std::string text;
    std::optional<std::string> decoded;
  } cases[] = {
      {"aGVsbG8sIHdvcmxk", "hello, world"},
      {" aGVs\tbG8s\r\nIHdv\fcmxk \n", "hello, world"},
      {"aGk=", "hi"},
      {"aGk", "hi"},
      {"aA==", "h"},
      {"aGVs*bG8s", std::nullopt},
      {"aGk=aGk=", std::nullopt},
      {"aGk\xC3\xA9", std::nullopt},
      {"a", std::nullopt},
      {"", ""},
  };
  for (const Case& c : cases) {
    auto decoded = KoStatUrlCoder::decodeBase64WithString(c.text);
    ASSERT_EQ(decoded.has_value(), c.decoded.has_value()) << c.text;
    if (decoded) {
      EXPECT_EQ(platform::toString(*decoded), *c.decoded) << c.text;
    }
  }
}

TEST(KoStatUrlCoder, UrlEscapingCoversTheReservedCharacters) {
  EXPECT_EQ(lumora::KoStatUrlUtil::urlEncode("a-b_c.d~e"), "a-b_c.d~e");
  for (char c : std::string(":/?#[]@!$&'()*+,;= %\"")) {
    std::string escaped = lumora::KoStatUrlUtil::urlEncode(std::string(1, c));
    EXPECT_EQ(escaped.size(), 3u) << c;
    EXPECT_EQ(escaped.front(), '%') << c;
    EXPECT_EQ(KoStatUrlCoder::urlDecode(escaped), std::string(1, c));
  }
  EXPECT_EQ(KoStatUrlCoder::urlEncode("\xE2\x80\x99"), "%E2%80%99");  // the typographic apostrophe
  EXPECT_EQ(lumora::KoStatUrlUtil::urlDecode("New%20York%2C%20NY"), "New York, NY");
  EXPECT_EQ(KoStatUrlCoder::urlDecode("100%"), std::nullopt);
  EXPECT_EQ(KoStatUrlCoder::urlDecode("%FF"), std::nullopt);
}

TEST(KoStatDateUtil, TextsAreUtcSeconds) {
  EXPECT_EQ(lumora::KoStatDateUtil::stringFromTTL(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(lumora::KoStatDateUtil::stringFromTTL(1577836799.999), "2019-12-31T23:59:59Z");
  EXPECT_EQ(lumora::KoStatDateUtil::stringFromTTL(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(lumora::KoStatDateUtil::stringFromDate(platform::Clock::TimePoint(std::chrono::seconds(951782400))),
            "2000-02-29T00:00:00Z");
}

TEST(KoStatJSONUtil, CompactTextKeepsWhitespaceInsideTexts) {
  Json object = {{"page name", "New York\tCity\n"}, {"list", {1, "a b"}}};
  auto text = lumora::KoStatJSONUtil::tranToJsonWithObject(object);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find(": "), std::string::npos);
  EXPECT_EQ(text->find(", "), std::string::npos);
  EXPECT_EQ(lumora::KoStatJSONUtil::tranToObjectWithJson(*text), object);
  EXPECT_EQ(lumora::KoStatJSONUtil::tranToJsonWithObject(Json("text")), std::nullopt);
  EXPECT_EQ(lumora::KoStatJSONUtil::tranToObjectWithJson("{not json"), std::nullopt);
  EXPECT_EQ(lumora::KoStatJSONUtil::tranToObjectWithJson(std::string(1000000, '[') + std::string(1000000, ']')),
            std::nullopt);
}

}  // namespace
