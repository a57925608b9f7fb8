#include <gtest/gtest.h>

#include <charconv>

#include "account/KPNonceUtil.h"
#include "account/KPQBEnDecryptUtil.h"
#include "account/KPUserAgentUtil.h"
#include "utils/AESCrypt.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/device/Device.h"

namespace {

using lumora::KPNonceUtil;
using lumora::KPQBEnDecryptUtil;
using lumora::KPUserAgentUtil;

std::string decoded(const std::string& base64) {
  return platform::toString(lumora::dataWithBase64EncodedString(base64));
}

TEST(KPQBEnDecryptUtil, DigestTextForms) {
  EXPECT_EQ(KPQBEnDecryptUtil::md5String("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(KPQBEnDecryptUtil::SHA1ForString("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(KPQBEnDecryptUtil::SHA1For(platform::Bytes()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(KPQBEnDecryptUtil::SHA1For(platform::toBytes("abc")),
            "a9993e364706816aba3e25717850c26c9cd0d89d");
  // printf abc | openssl dgst -sha1 -binary | base64
  EXPECT_EQ(KPQBEnDecryptUtil::buildSHA1AndBase64("abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");

  auto signature = KPQBEnDecryptUtil::buildSHA1AndBase64("GET&/mic/contacts&a=1");
  ASSERT_TRUE(signature);
  EXPECT_EQ(signature->size(), 28u);
  EXPECT_EQ(signature->find('='), 27u);
}

TEST(KPQBEnDecryptUtil, EmptyTextsGiveNothingAndTextsEndAtAZeroByte) {
  EXPECT_EQ(KPQBEnDecryptUtil::md5String(""), std::nullopt);
  EXPECT_EQ(KPQBEnDecryptUtil::SHA1ForString(""), std::nullopt);
  EXPECT_EQ(KPQBEnDecryptUtil::buildSHA1AndBase64(""), std::nullopt);

  using namespace std::string_view_literals;
  EXPECT_EQ(KPQBEnDecryptUtil::md5String("abc\0def"sv), KPQBEnDecryptUtil::md5String("abc"));
  EXPECT_EQ(KPQBEnDecryptUtil::SHA1ForString("abc\0def"sv), KPQBEnDecryptUtil::SHA1ForString("abc"));
  EXPECT_EQ(KPQBEnDecryptUtil::buildSHA1AndBase64("abc\0"sv),
            KPQBEnDecryptUtil::buildSHA1AndBase64("abc"));
}

TEST(KPNonceUtil, FormatsTheRandomValueAsSignedThenTheSeconds) {
  EXPECT_EQ(decoded(KPNonceUtil::nonceWithRandom(4294967295u, 1000.0)), "-11000");
  EXPECT_EQ(decoded(KPNonceUtil::nonceWithRandom(7, 1000.9)), "71000");
  EXPECT_EQ(decoded(KPNonceUtil::nonceWithRandom(2147483648u, 0)), "-21474836480");
  EXPECT_EQ(KPNonceUtil::nonceWithRandom(7, 1000), lumora::base64Encoding(platform::toBytes("71000")));
  // Times past the signed 32-bit range hold at its end instead of wrapping.
  EXPECT_EQ(decoded(KPNonceUtil::nonceWithRandom(1, 5e9)), "12147483647");
}

TEST(KPNonceUtil, GeneratedNoncesUseTheClockAndFreshRandomValues) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  const std::string first = decoded(KPNonceUtil::generateNonce());
  const std::string second = decoded(KPNonceUtil::generateNonce());
  for (const std::string& text : {first, second}) {
    ASSERT_GT(text.size(), 10u);
    ASSERT_EQ(text.substr(text.size() - 10), "1577836800");
    std::int32_t random = 0;
    const char* end = text.data() + text.size() - 10;
    auto parsed = std::from_chars(text.data(), end, random);
    EXPECT_EQ(parsed.ptr, end) << text;
  }
  EXPECT_NE(first, second);
}

class KPUserAgentUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDevice_ = platform::Device::configured();
    platform::Bundle::setInfoValue("CFBundleName", "Notes");
    platform::Bundle::setInfoValue("CFBundleShortVersionString", "2.1");
    platform::DeviceFacts facts = savedDevice_;
    facts.systemName = "iPhone OS";
    facts.systemVersion = "9.3";
    platform::Device::configure(facts);
  }
  void TearDown() override {
    KPUserAgentUtil::sharedInstance().setCustomizedUserAgent(std::nullopt);
    platform::Bundle::reset();
    platform::Device::configure(savedDevice_);
  }
  platform::DeviceFacts savedDevice_;
};

TEST_F(KPUserAgentUtilTest, BuildsFromBundleAndDeviceUnlessCustomised) {
  auto& util = KPUserAgentUtil::sharedInstance();
  EXPECT_EQ(&util, &KPUserAgentUtil::sharedInstance());
  EXPECT_EQ(util.getUserAgent(), "Notes/2.1 zuvUviduvivERU/0.1.8 iPhone OS/9.3");

  platform::Bundle::removeInfoValue("CFBundleShortVersionString");
  EXPECT_EQ(util.getUserAgent(), "Notes/(null) zuvUviduvivERU/0.1.8 iPhone OS/9.3");

  util.setCustomizedUserAgent("");
  EXPECT_EQ(util.customizedUserAgent(), "");
  EXPECT_EQ(util.getUserAgent(), "");
  util.setCustomizedUserAgent("Custom/1");
  EXPECT_EQ(util.getUserAgent(), "Custom/1");
  util.setCustomizedUserAgent(std::nullopt);
  EXPECT_EQ(util.getUserAgent(), "Notes/(null) zuvUviduvivERU/0.1.8 iPhone OS/9.3");
}

}  // namespace
