// The push kit's resource id, made once per installation.
#include <gtest/gtest.h>

#include <regex>

#include "push/KoPushSDKCoreParam.h"
#include "push/KoPushSDKPreferenceUtil.h"
#include "support/TestHome.h"

namespace {

using lumora::KoPushSDKCoreParam;

TEST(PushParams, TheResourceIdIsMadeOnceAndKept) {
  testsupport::TestHome home;
  std::string id = KoPushSDKCoreParam::getResourceID();
  EXPECT_TRUE(std::regex_match(id, std::regex("ip[0-9]{6}"))) << id;
  EXPECT_EQ(KoPushSDKCoreParam::getResourceID(), id);
  EXPECT_EQ(lumora::KoPushSDKPreferenceUtil::getStringWithKey(lumora::KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID), id);

  lumora::KoPushSDKPreferenceUtil::setKeyStringValue(lumora::KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID, "ip000042");
  EXPECT_EQ(KoPushSDKCoreParam::getResourceID(), "ip000042");
}

}  // namespace
