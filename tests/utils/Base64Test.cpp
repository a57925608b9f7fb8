#include <gtest/gtest.h>

#include "utils/AESCrypt.h"

namespace {

using lumora::base64Encoding;
using lumora::base64EncodingWithLineLength;
using lumora::dataWithBase64EncodedString;
using platform::Bytes;
using platform::toBytes;

TEST(Base64, EncodesWithPaddingAndOptionalLineBreaks) {
  EXPECT_EQ(base64Encoding(Bytes()), "");
  EXPECT_EQ(base64Encoding(toBytes("A")), "QQ==");
  EXPECT_EQ(base64Encoding(toBytes("AB")), "QUI=");
  EXPECT_EQ(base64Encoding(toBytes("ABC")), "QUJD");
  EXPECT_EQ(base64Encoding(Bytes{0xFB, 0xFF, 0xBF, 0xFB, 0xEF}), "+/+/++8=");

  EXPECT_EQ(base64EncodingWithLineLength(toBytes("abc"), 4), "YWJj\n");
  EXPECT_EQ(base64EncodingWithLineLength(toBytes("abc"), 0), "YWJj");
  EXPECT_EQ(base64EncodingWithLineLength(toBytes("a"), 4), "YQ==\n");
  // Lines hold the length rounded up to whole groups of four.
  EXPECT_EQ(base64EncodingWithLineLength(toBytes("abcdefghijklmno"), 6), "YWJjZGVm\nZ2hpamts\nbW5v");
  EXPECT_EQ(base64EncodingWithLineLength(toBytes("abcdefghijkl"), 8), "YWJjZGVm\nZ2hpamts\n");
  EXPECT_EQ(base64EncodingWithLineLength(toBytes("abcdef"), 76), "YWJjZGVm");
}

TEST(Base64, DecodingSkipsForeignCharactersAndStopsAtTheFirstPadding) {
  EXPECT_EQ(dataWithBase64EncodedString("QUJD\nRA=="), toBytes("ABCD"));
  EXPECT_EQ(dataWithBase64EncodedString(" QU\tJD\r\nRA==  "), toBytes("ABCD"));
  EXPECT_EQ(dataWithBase64EncodedString("QUJD\nRA"), toBytes("ABC"));       // partial group dropped
  EXPECT_EQ(dataWithBase64EncodedString("QUJD=\nRA=="), toBytes("ABC"));    // ends at "="
  EXPECT_EQ(dataWithBase64EncodedString("QUI="), toBytes("AB"));
  EXPECT_EQ(dataWithBase64EncodedString("QUI=QUJD"), toBytes("AB"));
  EXPECT_EQ(dataWithBase64EncodedString("QQ"), Bytes());
  EXPECT_EQ(dataWithBase64EncodedString("Q="), toBytes("@"));  // lone sextet, zero low bits
  EXPECT_EQ(dataWithBase64EncodedString("=QUJD"), Bytes());
  EXPECT_EQ(dataWithBase64EncodedString(""), Bytes());
  EXPECT_EQ(dataWithBase64EncodedString("QUJD\xC3\xA9"), Bytes());  // not pure ASCII
}

TEST(Base64, RoundTripsEveryByteValueAndEveryTailLength) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 255u, 256u}) {
    Bytes part(all.begin(), all.begin() + n);
    EXPECT_EQ(dataWithBase64EncodedString(base64Encoding(part)), part) << n;
    EXPECT_EQ(dataWithBase64EncodedString(base64EncodingWithLineLength(part, 10)), part) << n;
  }
}

}  // namespace
