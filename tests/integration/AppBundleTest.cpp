// The app as it launches against the local cloud: its bundle names it to
// the statistics and push services the way lumora-cloud registers it, and
// the panel's network switch reaches every listener of the network at once.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/AppBundle.h"
#include "app/NetworkSwitch.h"
#include "platform/app/Application.h"
#include "platform/device/Bundle.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/PhoneNetwork.h"
#include "push/KoPushSDK.h"
#include "push/KoPushSDKController.h"
#include "push/KoPushNetWorkUtils.h"
#include "push/KoPushNetworkServerUtils.h"
#include "push/KoPushServerSDK.h"
#include "server/CloudServer.h"
#include "stats/KoStatCoreParam.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/ServiceHosts.h"

namespace {

using namespace std::chrono_literals;
using platform::NetworkStatus;
using platform::ReachabilityStatus;

void resetPushClient() {
  lumora::KoPushSDKController::sharedKoPushSDKSingleton().resetForTesting();
  lumora::KoPushServerSDKController::sharedKoPushServerSDKSingleton().resetForTesting();
  lumora::KoPushNetWorkUtils::sharedNetworkSingleton().resetForTesting();
  lumora::KoPushNetworkServerUtils::sharedNetworkSingleton().resetForTesting();
}

TEST(AppBundleTest, TheLocalCloudKnowsTheAppItsBundleNames) {
  testsupport::TestHome home;
  platform::Reachability::overrideStatus(NetworkStatus::ReachableViaWiFi);
  platform::MainQueue::main().bindToCurrentThread();
  platform::Application::shared().resetForTesting();
  resetPushClient();
  auto server = localcloud::CloudServer::create(home.root() / "cloud");
  ASSERT_TRUE(server && server->start(0));
  ASSERT_TRUE(server->registerLumoraApp());
  for (const char* key : {lumora::ServiceHosts::kPush, lumora::ServiceHosts::kPushSandbox}) {
    lumora::ServiceHosts::set(key, server->url());
  }
  lumora::installAppBundle();

  // The statistics kit sends the app's id and key (the cloud refuses empty
  // ones); the push service takes the app's registration.
  EXPECT_FALSE(lumora::KoStatCoreParam::getAppID().empty());
  EXPECT_FALSE(lumora::KoStatCoreParam::getAppToken().empty());
  auto delegate = std::make_shared<lumora::KoPushSDKDelegate>();
  std::vector<std::pair<std::string, std::int32_t>> reports;
  delegate->koPushRequestSuccWithSelector = [&](const std::string& selector, const platform::Json&) {
    reports.emplace_back(selector, 0);
  };
  delegate->koPushRequestErrWithSelector = [&](const std::string& selector, std::int32_t code, const platform::Json&) {
    reports.emplace_back(selector, code);
  };
  lumora::KoPushSDK::registerKoPush(delegate);
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return !reports.empty(); }, testsupport::scaled(20s)));
  EXPECT_EQ(reports.front(), (std::pair<std::string, std::int32_t>{"registerKoPush:", 0}));

  resetPushClient();
  server->stop();
  lumora::ServiceHosts::reset();
  platform::Bundle::reset();
  platform::Application::shared().resetForTesting();
}

TEST(AppBundleTest, ThePanelsNetworkSwitchReachesEveryListenerAtOnce) {
  platform::MainQueue::main().bindToCurrentThread();
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  platform::Reachability::overrideStatus(NetworkStatus::NotReachable);  // whatever this machine has
  monitor.startMonitoring();
  std::vector<ReachabilityStatus> first, second;
  monitor.addListener([&](ReachabilityStatus status) { first.push_back(status); });
  monitor.addListener([&](ReachabilityStatus status) { second.push_back(status); });
  lumora::NetworkSwitch network;
  const std::vector<ReachabilityStatus> turns = {ReachabilityStatus::ReachableViaWiFi, ReachabilityStatus::ReachableViaWWAN,
                                                 ReachabilityStatus::NotReachable};
  for (ReachabilityStatus expected : turns) {
    network.next();
    platform::MainQueue::main().runUntilIdle();
    EXPECT_EQ(monitor.networkReachabilityStatus(), expected);
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_EQ(first.back(), expected);
    EXPECT_EQ(second.back(), expected);
    // Only "none" takes the phone offline (its requests fail).
    EXPECT_EQ(platform::http::PhoneNetwork::isConnected(), expected != ReachabilityStatus::NotReachable);
  }
  // Back to the machine's own network: the switch fixes nothing any more.
  network.next();
  EXPECT_FALSE(network.setting());
  EXPECT_TRUE(platform::http::PhoneNetwork::isConnected());
  EXPECT_EQ(first, second);
  monitor.resetForTesting();
}

}  // namespace
