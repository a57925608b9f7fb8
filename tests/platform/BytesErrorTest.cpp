#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/Bytes.h"
#include "platform/Random.h"
#include "platform/Result.h"

namespace {

TEST(Utf8, ValidityAndUtf16Length) {
  EXPECT_TRUE(platform::isValidUtf8("plain"));
  EXPECT_TRUE(platform::isValidUtf8("\xE4\xB8\xAD\xF0\x9F\x98\x80"));  // CJK + emoji
  EXPECT_FALSE(platform::isValidUtf8("\xC0\xAF"));                     // overlong
  EXPECT_FALSE(platform::isValidUtf8("\xED\xA0\x80"));                 // surrogate
  EXPECT_FALSE(platform::isValidUtf8("\xE4\xB8"));                     // truncated
  EXPECT_EQ(platform::utf16Length("\xE4\xB8\xAD\xF0\x9F\x98\x80"), 3u);
  EXPECT_EQ(platform::utf16Length(""), 0u);
}

// Names and texts in a legacy encoding travel as UTF-8: each byte outside
// well-formed UTF-8 as its Latin-1 character, the rest kept, the same text
// every time and valid UTF-8 untouched (so a second pass changes nothing).
TEST(Utf8, LegacyBytesBecomeTheirLatin1Characters) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"caf\xe9.jpg", "caf\xc3\xa9.jpg"},
      {"\xc9t\xe9 2009", "\xc3\x89t\xc3\xa9 2009"},
      {"\xc3\xbc-\xfc", "\xc3\xbc-\xc3\xbc"},                  // UTF-8 beside Latin-1
      {"\xe4\xb8", "\xc3\xa4\xc2\xb8"},                          // a character cut short
      {"\xc0\xaf\xed\xa0\x80", "\xc3\x80\xc2\xaf\xc3\xad\xc2\xa0\xc2\x80"},  // overlong, surrogate
      {"\x80\xff", "\xc2\x80\xc3\xbf"},
      {"IMG\\1.JPG", "IMG\\1.JPG"},
      {"\xe4\xb8\xad\xf0\x9f\x98\x80", "\xe4\xb8\xad\xf0\x9f\x98\x80"},
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::string valid = platform::toValidUtf8(c.text);
    EXPECT_EQ(valid, c.expected) << c.text;
    EXPECT_TRUE(platform::isValidUtf8(valid)) << c.text;
    EXPECT_EQ(platform::toValidUtf8(valid), valid) << c.text;
  }
}

TEST(Bytes, HexAndTextConversions) {
  EXPECT_EQ(platform::hexString(platform::Bytes{0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  EXPECT_EQ(platform::hexString(platform::Bytes()), "");
  EXPECT_EQ(platform::toString(platform::toBytes(std::string("a\0b", 3))), std::string("a\0b", 3));
}

TEST(Bytes, AsciiCaseBlanksAndHexDigits) {
  EXPECT_EQ(platform::lowerCased("Content-TYPE \xC3\x89"), "content-type \xC3\x89");
  EXPECT_EQ(platform::upperCased("get \xC3\xA9"), "GET \xC3\xA9");
  EXPECT_TRUE(platform::equalsIgnoringCase("Set-Cookie", "set-cookie"));
  EXPECT_FALSE(platform::equalsIgnoringCase("Cookie", "Cookies"));
  EXPECT_EQ(platform::trimBlanks(" \tvalue \t"), "value");
  EXPECT_EQ(platform::hexDigitValue('F'), 15);
  EXPECT_EQ(platform::hexDigitValue('g'), -1);
}

TEST(Bytes, RandomBytesHaveTheCountAskedForAndDiffer) {
  EXPECT_TRUE(platform::randomBytes(0).empty());
  auto first = platform::randomBytes(16);
  ASSERT_EQ(first.size(), 16u);
  EXPECT_NE(first, platform::randomBytes(16));
  EXPECT_EQ(platform::randomBytes(1000).size(), 1000u);  // past the pooled sizes

  // Short requests come from a per-thread pool; a forked child must not hand
  // out the bytes its parent hands out next.
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const platform::Bytes bytes = platform::randomBytes(16);
    _exit(write(channel[1], bytes.data(), bytes.size()) == 16 ? 0 : 1);
  }
  platform::Bytes fromChild(16);
  ASSERT_EQ(read(channel[0], fromChild.data(), fromChild.size()), 16);
  int status = 0;
  waitpid(child, &status, 0);
  close(channel[0]);
  close(channel[1]);
  EXPECT_NE(fromChild, platform::randomBytes(16));
}

TEST(Error, JsonFormAndDescription) {
  platform::Error error("d", -10003, {{"reason", "Fail to save database"}});
  EXPECT_EQ(platform::Error::fromJson(error.toJson()), error);
  EXPECT_EQ(error.description(), "d -10003: Fail to save database");
  EXPECT_EQ(platform::Error("d", 5).description(), "d 5");
  EXPECT_FALSE(platform::Error::fromJson(platform::Json{{"domain", "d"}, {"code", "5"}}));
  EXPECT_FALSE(platform::Error::fromJson(platform::Json{{"code", 5}}));
  EXPECT_FALSE(platform::Error::fromJson("text"));
}

TEST(Error, UnderlyingErrorRoundTripsThroughUserInfo) {
  platform::Error inner("NSURLErrorDomain", -1004, {{"retriable", true}});
  platform::Error outer = platform::Error("outer", 500).withUnderlying(inner);
  ASSERT_TRUE(outer.underlying().has_value());
  EXPECT_EQ(*outer.underlying(), inner);
  EXPECT_FALSE(inner.underlying().has_value());
  EXPECT_EQ(platform::Error("d", 1, "not an object").userInfo(), nullptr);
}

TEST(Result, HoldsValueOrError) {
  platform::Result<int> good = 3;
  platform::Result<int> bad = platform::Error("d", 7);
  EXPECT_TRUE(good.ok());
  EXPECT_EQ(*good, 3);
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code(), 7);
  EXPECT_EQ(bad.valueOr(9), 9);
  platform::Status status = platform::Error("d", 2);
  EXPECT_FALSE(status.ok());
  EXPECT_TRUE(platform::Status::success().ok());
}

}  // namespace
