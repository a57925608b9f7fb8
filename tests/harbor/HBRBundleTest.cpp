#include <gtest/gtest.h>

#include "harbor/HBRBundle.h"
#include "harbor/HBRHost.h"
#include "platform/device/Bundle.h"
#include "platform/device/ClassRegistry.h"
#include "platform/device/Device.h"

namespace lumora {
namespace {

class HBRBundleTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::Bundle::reset();
    platform::Device::configure({});
    platform::ClassRegistry::reset();
  }
};

TEST_F(HBRBundleTest, HostVersionCodeCoversEveryMajorFromFour) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"3.1", 0}, {"4", 40000}, {"9.3.5", 90000}, {"10.0", 100000}, {"17.2.1", 170000}};
  for (const auto& [version, code] : cases) {
    platform::DeviceFacts facts;
    facts.systemVersion = version;
    platform::Device::configure(facts);
    EXPECT_EQ(HBRHostOSVersionCode(), code) << version;
  }
  EXPECT_EQ(HBRHostOSDisplayVersion(), "17.2.1");
  platform::DeviceFacts facts;
  facts.modelIdentifier = std::string(128, 'x');
  platform::Device::configure(facts);
  EXPECT_FALSE(HBRHostModelIdentifier());
}

TEST_F(HBRBundleTest, InfoKeysDecideNamesConsentAndInstallSource) {
  platform::Bundle::setInfoDictionary({{"CFBundleIdentifier", "com.example/app"}, {"CFBundleVersion", "7"}});
  EXPECT_EQ(HBRSanitizedBundleIdentifier(), "com.example_app");
  EXPECT_EQ(HBRBundleDisplayName(), "7");
  EXPECT_TRUE(HBRShouldCollectDeviceIdentifiers());
  platform::Bundle::setInfoValue("BlackboxCollectDeviceIdentifiers", true);
  platform::Bundle::setInfoValue("Harbor", {{"ReportIdentifiers", false}});
  EXPECT_FALSE(HBRShouldCollectDeviceIdentifiers());

  platform::Bundle::setInfoValue("BlackboxSignedForDistribution", true);
  EXPECT_EQ(HBRInstallSource(), 1);  // no class "Blackbox" in the program
  platform::ClassRegistry::registerClass("Blackbox");
  EXPECT_EQ(HBRInstallSource(), 3);
}

TEST_F(HBRBundleTest, HexAndDigestTexts) {
  const platform::Bytes bytes{0x00, 0xab, 0xff};
  EXPECT_EQ(HBRHexStringFromData(bytes), "00abff");
  EXPECT_EQ(HBRHexStringFromData({}), "");
  char out[7] = "xxxxxx";
  HBRHexEncodeBytes(nullptr, 3, out);
  EXPECT_STREQ(out, "");
  HBRHexEncodeBytes(bytes.data(), 3, nullptr);
  EXPECT_EQ(HBRSHA1HexStringFromData(platform::toBytes("abc")),
            "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HBRSHA1HexStringFromBytes(nullptr, 0), HBRSHA1HexStringFromData({}));
}

}  // namespace
}  // namespace lumora
