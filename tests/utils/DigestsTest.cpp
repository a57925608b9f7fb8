// The RC4 answers were made with the OpenSSL command line (each command written
// over two lines here):
//   printf 'Lumora block data' | openssl enc -rc4 -provider legacy -provider default
//     -K 30313233343536373839616263646566 | xxd -p
//   head -c 16 /dev/zero | openssl enc -rc4-40 -provider legacy -provider default
//     -K 0102030405 | xxd -p
// Large-input digests with: head -c 3145729 /dev/zero | tr '\0' a | sha1sum (md5sum).
#include <gtest/gtest.h>

#include <cstdlib>

#include "utils/AESCrypt.h"
#include "utils/CRC32.h"
#include "utils/Lumora.h"
#include "utils/MD5.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace {

using platform::Bytes;
using platform::toBytes;

TEST(Digests, MD5AndSHA1KnownAnswers) {
  EXPECT_EQ(lumora::MD5String(toBytes("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(lumora::MD5String(std::string_view("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(lumora::MD5String(Bytes()), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(platform::hexString(lumora::MD5Data(std::string_view("abc"))),
            "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(lumora::MD5Data(Bytes()).size(), 16u);

  EXPECT_EQ(lumora::sha1String(toBytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(lumora::sha1String(Bytes()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(lumora::sha1Data(toBytes("abc")).size(), 20u);
}

TEST(Digests, InputsSpanningSeveralSlicesDigestAsOne) {
  const Bytes big(3 * 1024 * 1024 + 1, 'a');
  EXPECT_EQ(lumora::sha1String(big), "b50a3128de1196b1382946d9a62cdff54a559632");
  EXPECT_EQ(lumora::MD5String(big), "9aa778d728a1108a6e8457026db5a877");
}

TEST(CRC32, IsTheUncomplementedRegister) {
  EXPECT_EQ(static_cast<std::uint32_t>(lumora::crc32(toBytes("abc"))), 0xCADBBE3Du);
  EXPECT_EQ(~static_cast<std::uint32_t>(lumora::crc32(toBytes("abc"))), 0x352441C2u);
  EXPECT_EQ(lumora::crc32(Bytes()), -1);
  // The check value of CRC-32/JAMCRC.
  EXPECT_EQ(static_cast<std::uint32_t>(lumora::crc32(toBytes("123456789"))), 0x340BC6D9u);
}

TEST(RC4, KnownKeyStreamsAndSymmetry) {
  auto sixteen = lumora::rc4DataWithKey(toBytes("Lumora block data"), toBytes("0123456789abcdef"));
  ASSERT_TRUE(sixteen);
  EXPECT_EQ(platform::hexString(*sixteen), "c81d2d368f2f80fa659939f5e0f7323183");
  EXPECT_EQ(lumora::rc4DataWithKey(*sixteen, toBytes("0123456789abcdef")),
            toBytes("Lumora block data"));
  // In pieces, one key stream: the same bytes, decrypted in place too.
  Bytes pieces = toBytes("Lumora block data");
  lumora::RC4Stream stream(toBytes("0123456789abcdef"));
  ASSERT_TRUE(stream.apply(pieces.data(), pieces.data(), 5));
  ASSERT_TRUE(stream.apply(pieces.data() + 5, pieces.data() + 5, pieces.size() - 5));
  EXPECT_EQ(pieces, *sixteen);
  EXPECT_FALSE(lumora::RC4Stream(Bytes()).ok());

  auto forty = lumora::rc4DataWithKey(Bytes(16), Bytes{1, 2, 3, 4, 5});
  ASSERT_TRUE(forty);
  EXPECT_EQ(platform::hexString(*forty), "b2396305f03dc027ccc3524a0a1118a8");

  // The key schedule reads key bytes 0..255 only, so longer keys are cut there.
  Bytes longKey(300);
  for (std::size_t i = 0; i < longKey.size(); ++i) longKey[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(lumora::rc4DataWithKey(Bytes(64), longKey),
            lumora::rc4DataWithKey(Bytes(64), Bytes(longKey.begin(), longKey.begin() + 256)));
  EXPECT_EQ(lumora::rc4DataWithKey(Bytes(), toBytes("k")), Bytes());
}

TEST(RC4, EmptyOrInvalidKeysFailCleanly) {
  EXPECT_EQ(lumora::rc4DataWithKey(toBytes("data"), Bytes()), std::nullopt);
  EXPECT_EQ(lumora::RC4EncryptWithKey(toBytes("data"), ""), std::nullopt);
  EXPECT_EQ(lumora::RC4DecryptWithDataKey(toBytes("data"), Bytes()), std::nullopt);
  EXPECT_EQ(lumora::RC4EncryptWithKey(toBytes("data"), "\xFF\xFE"), std::nullopt);

  // The text-keyed forms use the key text's bytes.
  EXPECT_EQ(lumora::RC4EncryptWithKey(toBytes("Lumora block data"), "0123456789abcdef"),
            lumora::rc4DataWithKey(toBytes("Lumora block data"), toBytes("0123456789abcdef")));
  auto cipher = lumora::RC4EncryptWithDataKey(toBytes("text"), toBytes("κλειδί"));
  ASSERT_TRUE(cipher);
  EXPECT_EQ(lumora::RC4DecryptWithKey(*cipher, "κλειδί"), toBytes("text"));
}

TEST(RC4, FailsCleanlyWhenTheLegacyProviderCannotLoad) {
  // A fresh process (re-executed, not forked) so the provider is not loaded yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("OPENSSL_MODULES", "/nonexistent-lumora-modules", 1);
        const bool failed = !lumora::rc4DataWithKey(toBytes("data"), toBytes("key"));
        const bool aesStillWorks = lumora::encryptAESWithKey(toBytes("x"), Bytes(16)).has_value();
        std::exit(failed && aesStillWorks ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Lumora, ContainsEnglishCharacterFindsOnlyASCIILetters) {
  EXPECT_FALSE(lumora::containsEnglishCharacter(""));
  EXPECT_FALSE(lumora::containsEnglishCharacter("张三 123-456 @[`{"));
  EXPECT_FALSE(lumora::containsEnglishCharacter("Ωμέγα ÀÉ"));
  EXPECT_TRUE(lumora::containsEnglishCharacter("张三z"));
  EXPECT_TRUE(lumora::containsEnglishCharacter("7A"));
}

}  // namespace
