// Known answers below were made once with the OpenSSL command line (each
// command written over two lines here), e.g.
//   printf 'hello, lumora' | openssl enc -aes-128-cbc
//     -K 30313233343536373839616263646566 -iv 37333531393032383436313533303732 | base64
// (the key is the text "0123456789abcdef", the vector the fixed "7351902846153072").
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "utils/AESCrypt.h"
#include "utils/LMAESCoder.h"
#include "platform/Bytes.h"

namespace {

using lumora::LMAESCoder;
using platform::Bytes;
using platform::toBytes;

const Bytes kKey16 = toBytes("0123456789abcdef");
constexpr const char* kKey16Base64 = "MDEyMzQ1Njc4OWFiY2RlZg==";

Bytes sequence(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

TEST(AESCrypt, FixedVectorCipherTextsMatchTheOpenSSLCommandLine) {
  struct Case {
    std::string plain;
    const char* base64;
  };
  for (const Case& c : {Case{"", "Q6Y1eGNzDnz305jrTn/Awg=="},
                        Case{"hello, lumora", "txPaP/c5jO5Odm42VzL5JA=="},
                        Case{"{\"name\":\"张三\"}", "d6Ygn+wPRkBEzW0d7Gz8VNKtojxKPDTO+23PhzbI49g="}}) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(lumora::AES128EncryptWithKey(c.plain, kKey16Base64), c.base64);
    auto data = lumora::AES128EncryptWithDataKey(toBytes(c.plain), kKey16);
    ASSERT_TRUE(data);
    EXPECT_EQ(lumora::base64Encoding(*data), c.base64);
    EXPECT_EQ(lumora::AES128DecryptWithKey(c.base64, kKey16Base64), c.plain);
  }
  // The empty text is one padding block: 24 Base64 characters ending "==".
  EXPECT_EQ(lumora::AES128EncryptWithKey("", kKey16Base64)->size(), 24u);

  // A whole block of input gains a whole block of padding.
  auto full = lumora::encryptAESWithKey(toBytes("0123456789ABCDEF"), kKey16);
  ASSERT_TRUE(full);
  EXPECT_EQ(platform::hexString(*full),
            "2ecd551806d70915c594b079b31a2941c3ed95ac6ec00b9c86d276bcfa1dbb70");
}

TEST(AESCrypt, KeyLengthSelectsTheAESVariantAndOddLengthsFail) {
  // openssl enc -aes-192-cbc / -aes-256-cbc with keys 00 01 02 ... and the fixed vector.
  auto k192 = lumora::encryptAESWithKey(toBytes("hello, lumora"), sequence(24));
  auto k256 = lumora::encryptAESWithKey(toBytes("hello, lumora"), sequence(32));
  ASSERT_TRUE(k192 && k256);
  EXPECT_EQ(platform::hexString(*k192), "a0f49ef16b6852aa7c8ee9f970294809");
  EXPECT_EQ(platform::hexString(*k256), "9051707208c4bd5ed450ce0da61923f2");
  EXPECT_EQ(lumora::decryptAESWithKey(*k256, sequence(32)), toBytes("hello, lumora"));

  for (std::size_t n : {0u, 1u, 15u, 17u, 20u, 31u, 33u, 64u}) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(lumora::encryptAESWithKey(toBytes("x"), sequence(n)));
    EXPECT_FALSE(lumora::decryptAESWithKey(Bytes(16), sequence(n)));
  }
  // The AES-128 forms need 16 key bytes and read only those.
  for (std::size_t n : {0u, 8u, 15u}) {
    EXPECT_FALSE(lumora::AES128EncryptWithDataKey(toBytes("x"), sequence(n)));
    EXPECT_FALSE(lumora::AES128DecryptWithDataKey(Bytes(16), sequence(n)));
  }
  Bytes longKey = kKey16;
  longKey.insert(longKey.end(), {9, 9, 9, 9, 9});
  EXPECT_EQ(lumora::AES128EncryptWithDataKey(toBytes("hello, lumora"), longKey),
            lumora::AES128EncryptWithDataKey(toBytes("hello, lumora"), kKey16));
}

TEST(AESCrypt, CipherTextLengthsAndCorruptInput) {
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    auto cipher = lumora::encryptAESWithKey(sequence(n), kKey16);
    ASSERT_TRUE(cipher);
    EXPECT_EQ(cipher->size(), 16 * (n / 16 + 1));
    EXPECT_EQ(lumora::AES128DecryptWithDataKey(*cipher, kKey16), sequence(n));
  }
  auto cipher = *lumora::encryptAESWithKey(toBytes("hello, lumora"), kKey16);
  EXPECT_FALSE(lumora::decryptAESWithKey(Bytes(cipher.begin(), cipher.end() - 1), kKey16));
  EXPECT_FALSE(lumora::decryptAESWithKey(Bytes(), kKey16));
  cipher.back() ^= 0x01;  // breaks the padding of the last block
  EXPECT_FALSE(lumora::decryptAESWithKey(cipher, kKey16));
}

TEST(AESCrypt, TextDecryptionFailuresGiveEmptyTextButBadUtf8GivesNothing) {
  EXPECT_EQ(lumora::AES128DecryptWithKey("txPaP/c5jO5Odm42VzL5JA==", "MDAwMDAwMDAwMDAwMDAwMA=="), "");
  EXPECT_EQ(lumora::AES128DecryptWithKey("not base64 at all!", kKey16Base64), "");
  EXPECT_EQ(lumora::AES128DecryptWithKey("txPaP/c5jO5Odm42VzL5JA==", ""), "");
  EXPECT_FALSE(lumora::AES128EncryptWithKey("hello", ""));

  auto invalidUtf8 = lumora::AES128EncryptWithDataKey(Bytes{0xFF, 0xFE, 0x41}, kKey16);
  ASSERT_TRUE(invalidUtf8);
  EXPECT_EQ(lumora::AES128DecryptWithKey(lumora::base64Encoding(*invalidUtf8), kKey16Base64),
            std::nullopt);
}

TEST(AESCrypt, OnlySixteenByteKeysRoundTripThroughTheTextForms) {
  // Encryption uses the whole key, decryption its first 16 bytes.
  const std::string key32 = lumora::base64Encoding(sequence(32));
  auto cipher = lumora::AES128EncryptWithKey("hello", key32);
  ASSERT_TRUE(cipher);
  EXPECT_NE(lumora::AES128DecryptWithKey(*cipher, key32), "hello");
}

TEST(LMAESCoder, EncryptsAndDecryptsUnderItsKeyAndPassesNoTextThrough) {
  LMAESCoder coder(kKey16Base64);
  EXPECT_EQ(coder.encryptString("hello, lumora"), "txPaP/c5jO5Odm42VzL5JA==");
  EXPECT_EQ(coder.decryptString("txPaP/c5jO5Odm42VzL5JA=="), "hello, lumora");
  EXPECT_EQ(coder.encryptString(std::nullopt), std::nullopt);
  EXPECT_EQ(coder.decryptString(std::nullopt), std::nullopt);

  coder.setKey("");
  EXPECT_EQ(coder.key(), "");
  EXPECT_EQ(coder.encryptString("hello"), std::nullopt);
  EXPECT_EQ(coder.decryptString("txPaP/c5jO5Odm42VzL5JA=="), "");
}

// Long inputs run through the cipher piece by piece (and straight into
// Base64 for the text form); each form must equal one whole-buffer EVP call.
TEST(AESCrypt, LongInputsMatchOneWholeBufferCipherCall) {
  for (std::size_t n : {30719u, 30720u, 30721u, 100000u}) {
    SCOPED_TRACE(n);
    Bytes plain(n);
    for (std::size_t i = 0; i < n; ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    Bytes expected(n + 16);
    int written = 0;
    int last = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, EVP_aes_128_cbc(), kKey16.data(), toBytes(lumora::kFixedAESIV).data(), nullptr);
    EVP_EncryptUpdate(ctx, expected.data(), &written, plain.data(), static_cast<int>(n));
    EVP_EncryptFinal_ex(ctx, expected.data() + written, &last);
    EVP_CIPHER_CTX_free(ctx);
    expected.resize(static_cast<std::size_t>(written + last));

    EXPECT_EQ(lumora::encryptAESWithKey(plain, kKey16), expected);
    EXPECT_EQ(lumora::decryptAESWithKey(expected, kKey16), plain);
    const std::string text(plain.begin(), plain.end());
    EXPECT_EQ(lumora::AES128EncryptWithKey(text, kKey16Base64), lumora::base64Encoding(expected));

    // A broken last block fails as a whole; the next call is not disturbed.
    Bytes broken = expected;
    broken.back() ^= 0x01;
    EXPECT_FALSE(lumora::decryptAESWithKey(broken, kKey16));
    EXPECT_EQ(lumora::decryptAESWithKey(expected, kKey16), plain);
  }
}

TEST(AESCrypt, PrefixAndSuffixTests) {
  const Bytes data = toBytes("LUMORA-block");
  EXPECT_TRUE(lumora::hasPrefixBytes(data, "LUM", 3));
  EXPECT_TRUE(lumora::hasSuffixBytes(data, "block", 5));
  EXPECT_TRUE(lumora::hasPrefixBytes(data, "LUMORA-block", 12));
  EXPECT_FALSE(lumora::hasPrefixBytes(data, "block", 5));
  EXPECT_FALSE(lumora::hasSuffixBytes(data, "LUM", 3));
  EXPECT_FALSE(lumora::hasPrefixBytes(data, "LUMORA-block!", 13));
  EXPECT_FALSE(lumora::hasSuffixBytes(data, nullptr, 3));
  EXPECT_FALSE(lumora::hasPrefixBytes(data, "L", 0));
  EXPECT_FALSE(lumora::hasSuffixBytes(Bytes(), "x", 1));
}

}  // namespace
