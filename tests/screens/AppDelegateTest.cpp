// The app delegate on the manual clock: the launch order and the wake-up
// handler's moment, the background rule on simulated networks, the
// location permission's effect on the automatic switches, background
// entries that each end their own task, and the push alias.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/app/Application.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/NotificationCenter.h"
#include "screens/shell/AppDelegate.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "screens/shell/LMLocationAccess.h"
#include "screens/shell/LMLocationHelper.h"
#include "screens/shell/LMSynBaseViewController.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

namespace location = platform::location;
using Calls = std::vector<std::string>;

struct AppDelegateTestPages final : LMBackgroundContactsPage, LMBackgroundGalleryPage {
  explicit AppDelegateTestPages(Calls& calls) : calls(calls) {}
  void syncContactsOnBackground() override { calls.push_back("contacts"); }
  void backupGalleryOnBackground() override { calls.push_back("backup"); }
  void cancelBackgroundBackupGalleryForWWAN() override { calls.push_back("cancel"); }
  Calls& calls;
};

class AppDelegateTest : public ::testing::Test {
 protected:
  AppDelegateTest() {
    platform::BackgroundTask::resetForTesting();
    LMLocationHelper::sharedHelper()->resetForTesting();
  }
  ~AppDelegateTest() override {
    setLocationAccessRequester(nullptr);
    platform::Application::shared().resetForTesting();
    LMLocationHelper::sharedHelper()->resetForTesting();
  }

  // Every service logs its call; pages log theirs into `pages_`.
  std::shared_ptr<AppDelegate> makeDelegate() {
    AppDelegate::Services s;
    auto log = [this](std::string name) { return [this, name](auto&&...) { calls_.push_back(name); }; };
    s.loadUniqueDeviceIdentifier = log("keychain");
    s.setLogDelegate = log("sdklog");
    s.startLog = log("filelog");
    s.registerKoStat = [this](const std::string& channel) { calls_.push_back("stat:" + channel); };
    s.registerKoPush = log("push");
    s.setNeedVerifyPhone = [this](bool need) { calls_.push_back(need ? "verifyPhone" : "noVerifyPhone"); };
    s.setUploadPolicy = [this](int policy, int interval) {
      calls_.push_back("policy:" + std::to_string(policy) + "/" + std::to_string(interval));
    };
    s.enabledCrashReportWithMode = [this](int mode) { calls_.push_back("crash:" + std::to_string(mode)); };
    s.startReachabilityMonitoring = [this] {
      calls_.push_back("reachability");
      platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    };
    s.registerLumoraDeviceInfo = log("register");
    s.uploadLogFiles = [this](std::function<void()> done) { uploads_.push_back(std::move(done)); };
    s.setAlias = [this](const std::string& alias) { calls_.push_back("alias:" + alias); };
    s.signedInUserId = [this] { return userId_; };
    auto pages = std::make_shared<AppDelegateTestPages>(pages_);
    s.pages.contacts = [pages] { return pages; };
    s.pages.gallery = [pages] { return pages; };
    auto delegate = AppDelegate::create(std::move(s));
    platform::Application::shared().setDelegate(delegate);
    return delegate;
  }

  void pump() { platform::MainQueue::main().runUntilIdle(); }
  void advance(double seconds) {
    clock_->advance(platform::seconds(seconds));
    pump();
  }
  static void network(std::optional<platform::NetworkStatus> status) {
    platform::Reachability::overrideStatus(status);
    platform::ReachabilityMonitor::sharedMonitor().refresh();
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  Calls calls_;
  Calls pages_;
  std::vector<std::function<void()>> uploads_;
  std::optional<std::string> userId_;
};

TEST_F(AppDelegateTest, LaunchStepsInOrderAndTheWakeUpHandlerAtTenSeconds) {
  const Calls steps = {"keychain",   "sdklog",   "filelog", "stat:App Store", "push",
                       "verifyPhone", "policy:0/0", "crash:0", "reachability"};
  for (bool locationLaunch : {false, true}) {
    SCOPED_TRACE(locationLaunch ? "location wake-up" : "normal launch");
    LMLocationHelper::sharedHelper()->resetForTesting();
    calls_.clear();
    pages_.clear();
    location::LocationManager::setAuthorizationStatus(location::AuthorizationStatus::AuthorizedAlways);
    network(platform::NetworkStatus::ReachableViaWiFi);
    auto& config = LMAppSettingConfig::sharedConfig();
    config.setAutoBackupGallery(true);
    config.setAutoBackupContacts(true);
    auto delegate = makeDelegate();
    auto& app = platform::Application::shared();
    platform::Json options = locationLaunch ? platform::Json{{platform::kApplicationLaunchOptionsLocationKey, true}}
                                            : platform::Json();
    EXPECT_TRUE(app.finishLaunching(options));
    EXPECT_EQ(calls_, steps);
    EXPECT_EQ(app.minimumBackgroundFetchInterval(), 3600.0);
    EXPECT_EQ(app.currentUserNotificationTypes(), 7u);

    advance(9.999);
    EXPECT_EQ(delegate->locationHelper(), nullptr);
    advance(0.001);
    ASSERT_NE(delegate->locationHelper(), nullptr);
    EXPECT_EQ(delegate->isFromBackground(), locationLaunch);
    if (locationLaunch) {
      // Its own manager monitors; the rule ran once for Wi-Fi.
      ASSERT_NE(delegate->locationManager(), nullptr);
      EXPECT_TRUE(delegate->locationManager()->isMonitoringSignificantLocationChanges());
      EXPECT_EQ(delegate->locationManager()->settings().distanceFilter, 100.0);
      EXPECT_EQ(pages_, (Calls{"backup", "contacts"}));
      EXPECT_EQ(delegate->locationHelper()->backgroundLocationManager(), nullptr);
    } else {
      auto manager = delegate->locationHelper()->backgroundLocationManager();
      ASSERT_NE(manager, nullptr);
      EXPECT_TRUE(manager->isMonitoringSignificantLocationChanges());
      EXPECT_TRUE(manager->isUpdatingLocation());
      EXPECT_TRUE(manager->settings().allowsBackgroundLocationUpdates);
      EXPECT_TRUE(pages_.empty());
    }
  }
}

TEST_F(AppDelegateTest, BackgroundRuleFollowsTheNetworkAndTheSwitches) {
  struct Case {
    const char* name;
    std::optional<platform::NetworkStatus> network;
    bool gallery, galleryOnWWAN, contacts;
    Calls expected;
  };
  using NS = platform::NetworkStatus;
  const std::vector<Case> cases = {
      {"mobile, gallery off", NS::ReachableViaWWAN, false, true, true, {"cancel", "contacts"}},
      {"mobile, gallery and mobile data on", NS::ReachableViaWWAN, true, true, true, {"backup", "contacts"}},
      {"mobile, gallery on without mobile data", NS::ReachableViaWWAN, true, false, true, {"cancel", "contacts"}},
      {"mobile, contacts off", NS::ReachableViaWWAN, true, true, false, {"backup"}},
      {"wifi", NS::ReachableViaWiFi, true, false, true, {"backup", "contacts"}},
      {"wifi, gallery off", NS::ReachableViaWiFi, false, false, true, {"contacts"}},
      {"offline", NS::NotReachable, true, true, true, {}},
  };
  network(platform::NetworkStatus::NotReachable);
  auto delegate = makeDelegate();
  platform::Application::shared().finishLaunching({{platform::kApplicationLaunchOptionsLocationKey, true}});
  advance(10);
  auto& config = LMAppSettingConfig::sharedConfig();
  config.setAutoSyncContactsOnWWAN(false);  // never consulted
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    network(platform::NetworkStatus::NotReachable);
    pump();
    pages_.clear();
    config.setAutoBackupGallery(c.gallery);
    config.setAutoBackupGalleryOnWWAN(c.galleryOnWWAN);
    config.setAutoBackupContacts(c.contacts);
    network(c.network);
    pump();
    EXPECT_EQ(pages_, c.expected);
  }
  pages_.clear();
  delegate->backgroundHandlerWithStatus(platform::ReachabilityStatus::Unknown);
  EXPECT_TRUE(pages_.empty());

  // Another owner's listener does not silence the rule, nor the rule it.
  int others = 0;
  auto token = platform::ReachabilityMonitor::sharedMonitor().addListener([&](auto) { ++others; });
  config.setAutoBackupGallery(true);
  network(platform::NetworkStatus::ReachableViaWiFi);
  pump();
  EXPECT_EQ(others, 1);
  EXPECT_EQ(pages_, (Calls{"backup", "contacts"}));
  platform::ReachabilityMonitor::sharedMonitor().removeListener(token);
}

TEST_F(AppDelegateTest, LocationPermissionDrivesTheAutomaticSwitches) {
  auto& config = LMAppSettingConfig::sharedConfig();
  auto& center = platform::NotificationCenter::defaultCenter();
  Calls posted;
  auto always = center.addObserver(LMSynBaseViewController::kLocationChangeToAlwaysNotification, [&](auto&, auto&) { posted.push_back("always"); });
  auto deny = center.addObserver(LMSynBaseViewController::kLocationChangeToDenyNotification, [&](auto&, auto&) { posted.push_back("deny"); });
  auto setStatus = [this](location::AuthorizationStatus status) {
    location::LocationManager::setAuthorizationStatus(status);
    pump();
  };
  auto helper = LMLocationHelper::sharedHelper();
  location::LocationManager::setAuthorizationAnswer(location::AuthorizationStatus::AuthorizedAlways);
  helper->startBackgroundMonitorLocation();  // asks: the first grant turns both on
  pump();
  EXPECT_TRUE(config.autoBackupGallery() && config.autoBackupContacts());
  EXPECT_EQ(posted, (Calls{"always"}));

  setStatus(location::AuthorizationStatus::Denied);  // a revoke turns both off
  EXPECT_FALSE(config.autoBackupGallery() || config.autoBackupContacts());
  setStatus(location::AuthorizationStatus::AuthorizedAlways);  // a later grant leaves them off
  EXPECT_FALSE(config.autoBackupGallery() || config.autoBackupContacts());
  EXPECT_EQ(posted, (Calls{"always", "deny"}));

  // Activation: the try-to-open flags decide, without changing themselves.
  auto delegate = makeDelegate();
  config.setTryOpenBackupGallerySwitch(true);
  platform::Application::shared().becomeActive();
  EXPECT_TRUE(config.autoBackupGallery());
  EXPECT_FALSE(config.autoBackupContacts());
  EXPECT_TRUE(config.tryOpenBackupGallerySwitch());
  EXPECT_EQ(calls_, (Calls{"register"}));
  setStatus(location::AuthorizationStatus::AuthorizedWhenInUse);
  platform::Application::shared().becomeActive();
  EXPECT_FALSE(config.autoBackupGallery());
  EXPECT_EQ(posted, (Calls{"always", "deny", "always", "deny", "deny"}));
  center.removeObserver(always);
  center.removeObserver(deny);
}

TEST_F(AppDelegateTest, EachBackgroundEntryEndsItsOwnTaskAndAliasNeedsAUser) {
  auto delegate = makeDelegate();
  auto& app = platform::Application::shared();
  location::LocationManager::setAuthorizationStatus(location::AuthorizationStatus::AuthorizedAlways);
  app.finishLaunching();
  advance(10);
  app.enterBackground();
  app.becomeActive();
  app.enterBackground();
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 2u);
  ASSERT_EQ(uploads_.size(), 2u);
  uploads_[0]();
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 1u);
  uploads_[1]();
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u);
  EXPECT_TRUE(delegate->locationHelper()->backgroundLocationManager()->isMonitoringSignificantLocationChanges());

  calls_.clear();
  delegate->koPushRequestSuccWithSelector("bindDeviceToken:", nullptr);
  delegate->koPushRequestSuccWithSelector("setAlias:", nullptr);
  userId_ = "10001";
  delegate->koPushRequestSuccWithSelector("bindDeviceToken:", nullptr);
  EXPECT_EQ(calls_, (Calls{"alias:10001"}));
}

}  // namespace
}  // namespace lumora
