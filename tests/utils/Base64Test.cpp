#include <gtest/gtest.h>

#include <random>
#include <string>

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

// The rules one character at a time, as a yardstick for the block-wise and
// vector paths (runs of 4, 12 and 16 characters with foreign characters and
// padding anywhere in them).
constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string slowEncode(const Bytes& data) {
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t left = data.size() - i;
    const unsigned group = (data[i] << 16) | (left > 1 ? data[i + 1] << 8 : 0) | (left > 2 ? data[i + 2] : 0);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

Bytes slowDecode(const std::string& text) {
  const std::string alphabet = kAlphabet;
  Bytes out;
  unsigned sextets[4];
  int pending = 0;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return {};
  }
  for (char c : text) {
    if (c == '=') {
      if (pending > 0) out.push_back(static_cast<std::uint8_t>((sextets[0] << 2) | (pending > 1 ? sextets[1] >> 4 : 0)));
      if (pending == 3) out.push_back(static_cast<std::uint8_t>(((sextets[1] & 15) << 4) | (sextets[2] >> 2)));
      break;
    }
    const std::size_t at = alphabet.find(c);
    if (at == std::string::npos) continue;
    sextets[pending++] = static_cast<unsigned>(at);
    if (pending == 4) {
      out.push_back(static_cast<std::uint8_t>((sextets[0] << 2) | (sextets[1] >> 4)));
      out.push_back(static_cast<std::uint8_t>(((sextets[1] & 15) << 4) | (sextets[2] >> 2)));
      out.push_back(static_cast<std::uint8_t>(((sextets[2] & 3) << 6) | sextets[3]));
      pending = 0;
    }
  }
  return out;
}

TEST(Base64, BlockPathsFollowTheCharacterRules) {
  std::mt19937 random(12);
  const std::string noise = " \n\r\t=-_.:@";
  for (std::size_t n = 0; n < 300; n += (n < 70 ? 1 : 37)) {
    SCOPED_TRACE(n);
    Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    const std::string text = base64Encoding(data);
    ASSERT_EQ(text, slowEncode(data));
    EXPECT_EQ(dataWithBase64EncodedString(text), data);
    // A foreign character or padding dropped in at a random place.
    for (int round = 0; round < 8 && !text.empty(); ++round) {
      std::string noisy = text;
      noisy.insert(random() % noisy.size(), 1, noise[random() % noise.size()]);
      EXPECT_EQ(dataWithBase64EncodedString(noisy), slowDecode(noisy)) << noisy;
    }
  }
}

}  // namespace
