// The fields a message puts into a send form, and the secret and form the
// server-side paths send.
#include <gtest/gtest.h>

#include <string>

#include "platform/device/Bundle.h"
#include "push/KoPushAndroidMessage.h"
#include "push/KoPushIOSMessage.h"
#include "push/KoPushNetworkServerUtils.h"

namespace {

using lumora::KoPushMessage;
using Fields = KoPushMessage::Fields;

TEST(PushMessage, EachPlatformSendsItsOwnFields) {
  KoPushMessage plain("t", "d");
  EXPECT_FALSE(plain.getMessage()) << "only the platform messages produce fields";

  lumora::KoPushIOSMessage bare("Title", "");
  EXPECT_EQ(bare.getMessage(), (Fields{{"timeToLive", "0"}}));

  lumora::KoPushIOSMessage ios("Title", "Hello");
  ios.setTTL(1.5);
  ios.setBadge(3);
  ios.setSound("bell.caf");
  ios.addExtraItem("k", "");
  ios.addExtraItem("", "v");
  ios.addExtraItem("k", "v");
  EXPECT_EQ(ios.getMessage(), (Fields{{"description", "Hello"},
                                      {"timeToLive", "1500"},
                                      {"extra.badge", "3"},
                                      {"extra.k", "v"},
                                      {"extra.sound_url", "bell.caf"}}));

  lumora::KoPushAndroidMessage unset("", "");
  EXPECT_EQ(unset.getMessage(), (Fields{{"time_to_live", "0"},
                                        {"notify_type", "0"},
                                        {"pass_through", "0"},
                                        {"notify_id", "0"}}));

  lumora::KoPushAndroidMessage android("Title", "Hello");
  android.setTTL(60);
  android.setCollapseKey("c");
  android.setPayload("{}");
  android.setRestrictedPackage("com.quenby.lumora");
  android.setNotifyType(-1);
  android.setPassThrough(1);
  android.setNotifyId(7);
  android.addExtraItem("k", "v");
  EXPECT_EQ(android.getMessage(), (Fields{{"title", "Title"},
                                          {"description", "Hello"},
                                          {"time_to_live", "60000"},
                                          {"collapse_key", "c"},
                                          {"payload", "{}"},
                                          {"restricted_package_name", "com.quenby.lumora"},
                                          {"notify_type", "-1"},
                                          {"pass_through", "1"},
                                          {"notify_id", "7"},
                                          {"extra.k", "v"}}));
}

TEST(PushMessage, ServerPathsPickTheSecretByPlatformAndSendNoPlatform) {
  using lumora::KoPushNetworkServerUtils;
  platform::Bundle::setInfoValue("KoSDKAppSecretIOS", "ios-secret");
  platform::Bundle::setInfoValue("KoSDKAppSecretANDROID", "android-secret");
  struct Case {
    Fields form;
    std::string secret;
  } cases[] = {
      {{{"topic", "news"}, {"platform", "ios"}}, "ios-secret"},
      {{{"platform", "android"}, {"topic", "news"}}, "android-secret"},
      {{{"platform", "wp"}}, "android-secret"},
      {{{"platform", ""}, {"topic", "news"}}, ""},
      {{{"topic", "news"}}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KoPushNetworkServerUtils::getSecret(c.form), c.secret);
    for (const auto& entry : KoPushNetworkServerUtils::getSendInfo(c.form)) EXPECT_NE(entry.first, "platform");
  }
  EXPECT_EQ(KoPushNetworkServerUtils::getSendInfo({{"topic", "news"}, {"platform", "ios"}, {"a", "b"}}),
            (Fields{{"topic", "news"}, {"a", "b"}}));
  platform::Bundle::reset();
}

}  // namespace
