#include <gtest/gtest.h>

#include <filesystem>

#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "platform/device/DeviceIdentifier.h"
#include "platform/device/Reachability.h"
#include "platform/device/TelephonyNetworkInfo.h"
#include "platform/storage/UserDefaults.h"
#include "stats/KoStatCoreParam.h"
#include "stats/KoStatPreferenceUtil.h"
#include "support/TestHome.h"

namespace {

using lumora::KoStatCoreParam;
using lumora::KoStatPreferenceUtil;
using platform::Json;
using platform::NetworkStatus;

class StatParams : public ::testing::Test {
 protected:
  StatParams() { platform::UserDefaults::resetStandardForTesting(); }
  ~StatParams() override {
    KoStatCoreParam::setChannel(std::nullopt);
    platform::Bundle::reset();
    platform::Device::configure(savedFacts_);
    platform::UserDefaults::resetStandardForTesting();
  }

  testsupport::TestHome home_;
  platform::DeviceFacts savedFacts_ = platform::Device::configured();
};

TEST_F(StatParams, AppConfigurationComesFromTheBundle) {
  struct Case {
    std::optional<Json> run;
    const char* flag;
  } cases[] = {{Json("online"), "online"}, {Json("ONLine"), "online"}, {Json("production"), "debug"},
               {Json(1), "debug"}, {std::nullopt, "debug"}};
  for (const Case& c : cases) {
    if (c.run) platform::Bundle::setInfoValue("KoSDKRun", *c.run);
    else platform::Bundle::removeInfoValue("KoSDKRun");
    EXPECT_EQ(KoStatCoreParam::getServiceURLFlag(), c.flag) << (c.run ? c.run->dump() : "none");
    EXPECT_EQ(KoStatCoreParam::isDistribution(), std::string(c.flag) == "online");
  }

  platform::Bundle::setInfoValue("KoSDKAppID", "2882303761517");
  platform::Bundle::setInfoValue("KoSDKAppKey", 42);  // not a text: ""
  platform::Bundle::setInfoValue("CFBundleVersion", "31");
  EXPECT_EQ(KoStatCoreParam::getAppID(), "2882303761517");
  EXPECT_EQ(KoStatCoreParam::getAppToken(), "");
  EXPECT_EQ(KoStatCoreParam::getAppVersion(), "31");
  EXPECT_EQ(KoStatCoreParam::getAppPackageName(), platform::Bundle::infoString("CFBundleIdentifier"));

  EXPECT_EQ(KoStatCoreParam::getChannel(), std::nullopt);
  KoStatCoreParam::setChannel("App Store");
  EXPECT_EQ(KoStatCoreParam::getChannel(), "App Store");
}

TEST_F(StatParams, DeviceFactsKeepThePhonesForms) {
  platform::DeviceFacts facts;
  facts.systemVersion = "9.3";
  facts.modelIdentifier = "iPhone8,1";
  platform::Device::configure(facts);
  EXPECT_EQ(KoStatCoreParam::getDevicePlatform(), "ios9.3");
  EXPECT_EQ(KoStatCoreParam::getDeviceModel(), "iPhone8,1");
  EXPECT_EQ(KoStatCoreParam::getDeviceID(), platform::DeviceIdentifier::value());
  EXPECT_EQ(KoStatCoreParam::getDeviceIMEI(), KoStatCoreParam::getDeviceID());
  EXPECT_FALSE(KoStatCoreParam::getProcessName().empty());
  EXPECT_EQ(KoStatCoreParam::getSystemLanguage(), "en");
  EXPECT_EQ(KoStatCoreParam::getSysCTL("no.such.name"), "");

  EXPECT_EQ(KoStatCoreParam::getOperate(), "");
  platform::TelephonyNetworkInfo::configure(platform::Carrier{"460", "01"}, std::nullopt);
  EXPECT_EQ(KoStatCoreParam::getOperate(), "46001");
  platform::TelephonyNetworkInfo::configure(platform::Carrier{"460", std::nullopt}, std::nullopt);
  EXPECT_EQ(KoStatCoreParam::getOperate(), "460");
}

TEST_F(StatParams, NetworkTypeFollowsReachabilityAndRadio) {
  struct Case {
    NetworkStatus status;
    std::optional<std::string> radio;
    const char* system;
    const char* type;
  } cases[] = {
      {NetworkStatus::ReachableViaWiFi, "CTRadioAccessTechnologyLTE", "9.3", "WIFI"},
      {NetworkStatus::NotReachable, "CTRadioAccessTechnologyLTE", "9.3", "NULL"},
      {NetworkStatus::ReachableViaWWAN, std::nullopt, "9.3", "NULL"},
      {NetworkStatus::ReachableViaWWAN, "CTRadioAccessTechnologyLTE", "9.3", "LTE"},
      {NetworkStatus::ReachableViaWWAN, "CTRadioAccessTechnologyWCDMA", "7.0", "WCDMA"},
      {NetworkStatus::ReachableViaWWAN, "LTE", "9.3", "NULL"},
      {NetworkStatus::ReachableViaWWAN, std::nullopt, "6.1.3", "MOBILE"},
  };
  for (const Case& c : cases) {
    platform::Reachability::overrideStatus(c.status);
    platform::TelephonyNetworkInfo::configure(std::nullopt, c.radio);
    platform::DeviceFacts facts;
    facts.systemVersion = c.system;
    platform::Device::configure(facts);
    EXPECT_EQ(KoStatCoreParam::getNetType(), c.type) << static_cast<int>(c.status) << " " << c.radio.value_or("-");
  }
}

TEST_F(StatParams, PreferencesStoreTypedValuesAndRemoveEmptyOnes) {
  KoStatPreferenceUtil::setKeyStringValue("KOSTAT_SDK_C_APP_VERSION", "31");
  EXPECT_EQ(KoStatPreferenceUtil::getStringWithKey("KOSTAT_SDK_C_APP_VERSION"), "31");
  KoStatPreferenceUtil::setKeyStringValue("KOSTAT_SDK_C_APP_VERSION", "");
  EXPECT_EQ(KoStatPreferenceUtil::getStringWithKey("KOSTAT_SDK_C_APP_VERSION"), std::nullopt);

  KoStatPreferenceUtil::setKeyDoubleValue("ban", 1.5e9);
  KoStatPreferenceUtil::setKeyIntValue("sample", -7);
  EXPECT_EQ(KoStatPreferenceUtil::getDoubleWithKey("ban"), 1.5e9);
  EXPECT_EQ(KoStatPreferenceUtil::getIntWithKey("sample"), -7);
  EXPECT_EQ(KoStatPreferenceUtil::getIntWithKey("absent"), 0);
  KoStatPreferenceUtil::setKeyIntValue("", 3);
  EXPECT_FALSE(platform::UserDefaults::standard().hasKey(""));

  KoStatPreferenceUtil::setKeyAppendArrayItem("list", "a");
  KoStatPreferenceUtil::setKeyAppendArrayItem("list", "b");
  KoStatPreferenceUtil::setKeyAppendArrayItem("list", "a");
  EXPECT_EQ(KoStatPreferenceUtil::getArrayWithKey("list"), Json({"a", "b"}));
  // An item already there writes nothing at all.
  std::filesystem::remove(platform::UserDefaults::standardFile());
  KoStatPreferenceUtil::setKeyAppendArrayItem("list", "b");
  EXPECT_FALSE(std::filesystem::exists(platform::UserDefaults::standardFile()));

  KoStatPreferenceUtil::setKeyArrayValue("list", Json({"a", "b", "a"}));
  KoStatPreferenceUtil::setKeyRemoveArrayItem("list", "a");
  EXPECT_EQ(KoStatPreferenceUtil::getArrayWithKey("list"), Json({"b"}));
  KoStatPreferenceUtil::setKeyRemoveArrayItem("none", "a");
  EXPECT_EQ(KoStatPreferenceUtil::getArrayWithKey("none"), Json::array());
  KoStatPreferenceUtil::setKeyArrayValue("list", Json::array());
  EXPECT_EQ(KoStatPreferenceUtil::getArrayWithKey("list"), std::nullopt);

  KoStatPreferenceUtil::setKeyDictionaryValue("dict", Json{{"k", 1}});
  EXPECT_EQ(KoStatPreferenceUtil::getDictionaryWithKey("dict"), (Json{{"k", 1}}));
  KoStatPreferenceUtil::setKeyDictionaryValue("dict", std::nullopt);
  EXPECT_EQ(KoStatPreferenceUtil::getDictionaryWithKey("dict"), std::nullopt);
}

}  // namespace
