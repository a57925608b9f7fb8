// Explicit-vector answers were made once with the OpenSSL command line (one
// command, written over two lines here):
//   printf 'ca body' | openssl enc -aes-128-cbc -K 30313233343536373839616263646566
//     -iv f0e1d2c3b4a5968778695a4b3c2d1e0f | xxd -p
// and the same with -aes-256-cbc -K 000102...1f.
#include <gtest/gtest.h>

#include "account/KPAESCoder.h"
#include "account/KPAESCrypt.h"
#include "account/KPAESStringDef.h"
#include "utils/AESCrypt.h"
#include "utils/LMAESCoder.h"

namespace {

using lumora::KPAESCoder;
using lumora::KPAESStringDef;
using platform::Bytes;
using platform::toBytes;

const Bytes kKey16 = toBytes("0123456789abcdef");
constexpr const char* kKey16Base64 = "MDEyMzQ1Njc4OWFiY2RlZg==";
const Bytes kIV = {0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87,
                   0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};

Bytes sequence(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

TEST(KPAESCrypt, ExplicitVectorMatchesTheOpenSSLCommandLine) {
  auto c128 = lumora::encryptAESWithKey(toBytes("ca body"), kKey16, kIV);
  auto c256 = lumora::encryptAESWithKey(toBytes("ca body"), sequence(32), kIV);
  ASSERT_TRUE(c128 && c256);
  EXPECT_EQ(platform::hexString(*c128), "dfb1e6b3d262b6e09c637c9bcfe0b030");
  EXPECT_EQ(platform::hexString(*c256), "0c1798deb8ffe9df9b0e5bc96d7b3f5e");
  EXPECT_EQ(lumora::decryptAESWithKey(*c128, kKey16, kIV), toBytes("ca body"));

  EXPECT_FALSE(lumora::encryptAESWithKey(toBytes("x"), kKey16, Bytes(15)));
  EXPECT_FALSE(lumora::encryptAESWithKey(toBytes("x"), kKey16, Bytes(17)));
  EXPECT_FALSE(lumora::decryptAESWithKey(*c128, kKey16, Bytes()));
  EXPECT_FALSE(lumora::encryptAESWithKey(toBytes("x"), sequence(20), kIV));
  EXPECT_FALSE(lumora::decryptAESWithKey(Bytes(15), kKey16, kIV));
}

TEST(KPAESCrypt, UrlSafeBase64SwapsTheTwoSymbolsAndRestoresPadding) {
  const Bytes data = {0xFB, 0xFF, 0xBF, 0xFB, 0xEF};  // standard "+/+/++8="
  EXPECT_EQ(lumora::base64UrlSafeEncoding(data), "-_-_--8=");
  EXPECT_EQ(lumora::initWithBase64UrlSafeEncodedString("-_-_--8="), data);
  EXPECT_EQ(lumora::initWithBase64UrlSafeEncodedString("-_-_--8"), data);

  const std::string iv = lumora::base64UrlSafeEncoding(kIV);
  ASSERT_EQ(iv.size(), 24u);
  EXPECT_EQ(iv.substr(22), "==");
  EXPECT_EQ(lumora::initWithBase64UrlSafeEncodedString(iv.substr(0, 22)), kIV);
}

TEST(KPAESStringDef, ParsesExactlyThreeNonEmptyFields) {
  auto form = KPAESStringDef::initWithAESString("1:abc:def");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->asd_version(), "1");
  EXPECT_EQ(form->asd_iv(), "abc");
  EXPECT_EQ(form->asd_data(), "def");
  EXPECT_EQ(form->description(), "1:abc:def");

  for (const char* bad : {"", "1:abc", "1:abc:def:ghi", "1::def", ":abc:def", "1:abc:", "::"}) {
    EXPECT_FALSE(KPAESStringDef::initWithAESString(bad)) << bad;
  }
  EXPECT_FALSE(KPAESStringDef::initWithVersion("1", "", "d"));
}

TEST(KPAESCrypt, RandomVectorFormsRoundTripAndDiffer) {
  const std::string text = "{\"ca\":\"令牌\"}";
  auto first = lumora::AES128RandomIVEncryptWithKey(text, kKey16Base64);
  auto second = lumora::AES128RandomIVEncryptWithKey(text, kKey16Base64);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (const std::string& f : {*first, *second}) {
    auto form = KPAESStringDef::initWithAESString(f);
    ASSERT_TRUE(form);
    EXPECT_EQ(form->asd_version(), "1");
    EXPECT_EQ(form->asd_iv().size(), 24u);
    EXPECT_EQ(form->asd_iv().find_first_of("+/"), std::string::npos);
    EXPECT_EQ(lumora::AES128RandomIVDecryptWithKey(f, kKey16Base64), text);
  }
  EXPECT_FALSE(lumora::AES128RandomIVEncryptWithKey(text, ""));
}

TEST(KPAESCrypt, RandomVectorDecryptionRejectsBadForms) {
  auto good = KPAESStringDef::initWithAESString(*lumora::AES128RandomIVEncryptWithKey("x", kKey16Base64));
  ASSERT_TRUE(good);
  const std::string iv = good->asd_iv();
  const std::string data = good->asd_data();
  for (const std::string& bad : {"1:" + iv, "1::" + data, "2:" + iv + ":" + data,
                                 "1:" + iv.substr(0, 20) + ":" + data,  // 15-byte vector
                                 "1:" + iv + ":" + data.substr(0, 12)}) {  // 9 bytes
    EXPECT_EQ(lumora::AES128RandomIVDecryptWithKey(bad, kKey16Base64), std::nullopt) << bad;
  }
  EXPECT_EQ(lumora::AES128RandomIVDecryptWithKey("1:" + iv + ":" + data, ""), std::nullopt);

  // Plain bytes that are not UTF-8 give nothing.
  auto raw = lumora::encryptAESWithKey(Bytes{0xC3, 0x28}, kKey16, kIV);
  const std::string form = "1:" + lumora::base64UrlSafeEncoding(kIV) + ":" + lumora::base64Encoding(*raw);
  EXPECT_EQ(lumora::AES128RandomIVDecryptWithKey(form, kKey16Base64), std::nullopt);
}

TEST(KPAESCoder, SharesTheCloudCoderFormsThroughTheCoderInterface) {
  KPAESCoder coder(kKey16Base64);
  const lumora::KPEnDecryptCoder& generic = coder;
  const lumora::LMAESCoder cloud(kKey16Base64);
  EXPECT_EQ(generic.encryptString("hello, lumora"), "txPaP/c5jO5Odm42VzL5JA==");
  EXPECT_EQ(generic.encryptString("参数"), cloud.encryptString("参数"));
  EXPECT_EQ(generic.decryptString("txPaP/c5jO5Odm42VzL5JA=="), "hello, lumora");
  EXPECT_EQ(generic.decryptString(std::nullopt), std::nullopt);
  EXPECT_EQ(generic.encryptString(std::nullopt), std::nullopt);
  coder.setKey("");
  EXPECT_EQ(coder.key(), "");
  EXPECT_EQ(generic.decryptString("txPaP/c5jO5Odm42VzL5JA=="), "");
}

}  // namespace
