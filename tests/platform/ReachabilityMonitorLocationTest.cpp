#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/location/LocationManager.h"
#include "support/TestHome.h"

namespace platform {
namespace {

TEST(ReachabilityMonitorTest, EveryListenerHearsChangesUntilItsOwnerRemovesIt) {
  auto& monitor = ReachabilityMonitor::sharedMonitor();
  std::vector<int> first, second;
  const auto firstToken = monitor.addListener([&](ReachabilityStatus s) { first.push_back(static_cast<int>(s)); });
  const auto secondToken = monitor.addListener([&](ReachabilityStatus s) { second.push_back(static_cast<int>(s)); });
  EXPECT_NE(firstToken, secondToken);
  EXPECT_EQ(monitor.addListener(nullptr), 0u);

  Reachability::overrideStatus(NetworkStatus::ReachableViaWWAN);
  monitor.refresh();  // not monitoring yet: ignored
  monitor.startMonitoring();
  EXPECT_TRUE(first.empty()) << "delivered on the main queue only";
  MainQueue::main().runUntilIdle();
  Reachability::overrideStatus(NetworkStatus::ReachableViaWWAN);
  monitor.refresh();  // unchanged: nothing
  Reachability::overrideStatus(NetworkStatus::ReachableViaWiFi);
  monitor.refresh();
  monitor.removeListener(secondToken);  // before its turn: not called
  MainQueue::main().runUntilIdle();
  Reachability::overrideStatus(NetworkStatus::NotReachable);
  monitor.refresh();
  MainQueue::main().runUntilIdle();

  EXPECT_EQ(first, (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(second, (std::vector<int>{1}));
  EXPECT_FALSE(monitor.isReachable());
  monitor.stopMonitoring();
  EXPECT_EQ(monitor.networkReachabilityStatus(), ReachabilityStatus::Unknown);
}

TEST(LocationManagerTest, RequestsTakeTheSetAnswerAndChangesReachDelegatesPerHome) {
  using location::AuthorizationStatus;
  using location::LocationManager;
  testsupport::TestHome home;
  auto manager = LocationManager::create();
  auto delegate = std::make_shared<location::LocationManagerDelegate>();
  std::vector<AuthorizationStatus> heard;
  delegate->didChangeAuthorizationStatus = [&](LocationManager&, AuthorizationStatus s) { heard.push_back(s); };
  manager->setDelegate(delegate);

  LocationManager::setAuthorizationAnswer(AuthorizationStatus::Denied);
  manager->requestAlwaysAuthorization();
  EXPECT_TRUE(heard.empty());
  MainQueue::main().runUntilIdle();
  LocationManager::setAuthorizationAnswer(AuthorizationStatus::AuthorizedAlways);
  manager->requestAlwaysAuthorization();  // already answered: no new question
  ASSERT_TRUE(LocationManager::setAuthorizationStatus(AuthorizationStatus::AuthorizedAlways));
  ASSERT_TRUE(LocationManager::setAuthorizationStatus(AuthorizationStatus::AuthorizedAlways));
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(heard, (std::vector<AuthorizationStatus>{AuthorizationStatus::Denied, AuthorizationStatus::AuthorizedAlways}));

  manager->startMonitoringSignificantLocationChanges();
  EXPECT_TRUE(manager->isMonitoringSignificantLocationChanges());
  {
    testsupport::TestHome other;
    EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::NotDetermined);
  }
  EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::AuthorizedAlways);
}

}  // namespace
}  // namespace platform
