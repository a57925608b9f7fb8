#include <gtest/gtest.h>

#include <chrono>

#include "cloud/passport/QBPassportsManager.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/Bundle.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "screens/shell/LMDeviceUtils.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

TEST(DeviceUtilsTest, RegistersOncePerAccountAndAFailureKeepsTheFlagButEndsTheTask) {
  testsupport::TestHome home;
  platform::BackgroundTask::resetForTesting();
  auto& defaults = platform::UserDefaults::standard();
  auto passports = QBPassportsManager::sharedManager();
  passports->setUserId(std::nullopt);

  LMDeviceUtils::registerLumoraDeviceInfo();  // nobody signed in
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u);

  passports->setUserId("10001");
  defaults.setBool(LMDeviceUtils::kRegisteredKey, true);
  LMDeviceUtils::registerLumoraDeviceInfo();  // already registered
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u);

  LMDeviceUtils::unregisterLumoraDeviceInfo();
  LMDeviceUtils::registerLumoraDeviceInfo();  // no passports to register with: fails
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 1u);
  EXPECT_TRUE(platform::MainQueue::main().runUntil(
      [] { return platform::BackgroundTask::runningCount() == 0; }, testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_FALSE(defaults.boolForKey(LMDeviceUtils::kRegisteredKey));
  passports->setUserId(std::nullopt);

  platform::Bundle::setInfoValue("AppIdentifierPrefix", "TEAM1234.");
  EXPECT_EQ(LMDeviceUtils::keyChainAccessGroup(), "TEAM1234.com.quenby.device.identifier");
  platform::Bundle::setInfoValue("AppIdentifierPrefix", "TEAM1234");
  EXPECT_EQ(LMDeviceUtils::keyChainAccessGroup(), "TEAM1234.com.quenby.device.identifier");
  platform::Bundle::reset();
}

}  // namespace
}  // namespace lumora
