#include <gtest/gtest.h>

#include <filesystem>
#include <typeindex>

#include "harbor/BBXUserDefaults.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsApplicationLifecycleEvent.h"
#include "harbor/analytics/BBXAnalyticsEventFilter.h"
#include "harbor/analytics/BBXAnalyticsMetadataController.h"
#include "harbor/analytics/BBXAnalyticsViewControllerTrackingController.h"
#include "platform/device/Bundle.h"
#include "platform/device/Device.h"
#include "support/TestHome.h"

namespace lumora {
namespace {

TEST(AnalyticsSamplingTest, InstallationsKeepLifecycleEventsByTheirHash) {
  EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString("abc"), 96354);
  EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString(""), 0);
  // Wraps at 32 bits and counts UTF-16 units (a surrogate pair is two).
  EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString("polygenelubricants"), -2147483648);
  EXPECT_EQ(BBXAnalyticsEventFilter::javaHashCodeForString("\xF0\x9F\x98\x80"), 31 * 0xD83D + 0xDE00);

  const BBXEventLogEvent launched(1, 1, "app_launched");
  const BBXEventLogEvent installed(0, 1, "app_installed");
  const BBXEventLogEvent custom(2, 1, "custom");
  const struct {
    const BBXEventLogEvent* event;
    std::optional<std::string> betaToken;
    std::int64_t factor;
    bool dropped;
  } cases[] = {
      {&launched, std::nullopt, 5, true},  {&launched, std::nullopt, 4, true},
      {&launched, std::nullopt, 3, false}, {&launched, std::nullopt, 1, false},
      {&launched, "nonsense", 5, false},   {&installed, std::nullopt, 5, false},
      {&custom, std::nullopt, 5, false},   {nullptr, std::nullopt, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BBXAnalyticsEventFilter::shouldDiscardEvent(c.event, c.betaToken, "abc", c.factor), c.dropped)
        << (c.event ? c.event->key() : "none") << " " << c.factor;
  }
  EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEvent(&launched, std::nullopt, std::nullopt, 5));
  // A negative hash that is a multiple keeps its events.
  EXPECT_FALSE(BBXAnalyticsEventFilter::shouldDiscardEventWithInstallationID("polygenelubricants", 2));
}

class AnalyticsMetadataTestManager : public platform::AdvertisingIdentifierManager {
 public:
  bool isAdvertisingTrackingEnabled() const override { return true; }
  std::optional<std::string> advertisingIdentifier() const override { return "AD-ID"; }
};

class AnalyticsMetadataTest : public ::testing::Test {
 protected:
  void SetUp() override { harbor_.setAPIKey("key-1"); }
  void TearDown() override {
    platform::AdvertisingIdentifierManager::registerManager(nullptr);
    platform::Device::configure({});
    platform::Bundle::reset();
  }
  testsupport::TestHome home_;
  BBXUserDefaults defaults_{home_.root() / "defaults"};
  Harbor harbor_{&defaults_};
};

TEST_F(AnalyticsMetadataTest, MetadataDescribesTheSessionAndDevice) {
  const std::pair<std::optional<std::string>, std::optional<std::string>> tokens[] = {
      {"2:abc", "abc"}, {"1:abc", std::nullopt}, {"2:a:b", std::nullopt}, {"2", std::nullopt}, {std::nullopt, std::nullopt}};
  for (const auto& [token, unwrapped] : tokens) {
    EXPECT_EQ(BBXAnalyticsMetadataController::unwrapBetaToken(token), unwrapped) << token.value_or("none");
  }

  auto controller = BBXAnalyticsMetadataController::make(1449400000999, "2:abc", harbor_);
  ASSERT_TRUE(controller);
  const platform::Json& metadata = controller->metadata();
  EXPECT_EQ(metadata["started_at"], 1449400000u);
  EXPECT_EQ(metadata["beta_tester_token"], "abc");
  EXPECT_EQ(metadata["links_ad_support"], false);
  EXPECT_EQ(metadata["advertising_tracking_enabled"], false);
  EXPECT_FALSE(metadata.contains("advertising_id"));
  EXPECT_EQ(metadata["jailbroken"], false);  // the device root is an empty folder
  EXPECT_EQ(metadata["session_id"], harbor_.executionIdentifier());
  EXPECT_EQ(metadata["install_id"], harbor_.installID());
  EXPECT_EQ(metadata["model"], metadata["machine"]);
  EXPECT_GE(metadata["cores"].get<int>(), 1);
  EXPECT_EQ(platform::Json::parse(platform::toString(controller->metadataJSONData())), metadata);

  // A linked manager gives the identifier only while identifiers are collected.
  platform::AdvertisingIdentifierManager::registerManager(std::make_shared<AnalyticsMetadataTestManager>());
  std::filesystem::create_directories(home_.root() / "Device" / "bin" / "sh");
  auto linked = BBXAnalyticsMetadataController::make(0, std::nullopt, harbor_);
  ASSERT_TRUE(linked);
  EXPECT_EQ(linked->metadata()["advertising_id"], "AD-ID");
  EXPECT_EQ(harbor_.advertisingToken(), "AD-ID");
  EXPECT_EQ(linked->metadata()["jailbroken"], true);
  EXPECT_FALSE(linked->metadata().contains("beta_tester_token"));
  platform::Bundle::setInfoValue("BlackboxCollectDeviceIdentifiers", false);
  auto withheld = BBXAnalyticsMetadataController::make(0, std::nullopt, harbor_);
  ASSERT_TRUE(withheld);
  EXPECT_FALSE(withheld->metadata().contains("advertising_id"));
  EXPECT_EQ(withheld->metadata()["advertising_tracking_enabled"], true);
}

class TrackingTestScreen : public platform::ui::ViewController {};
class TrackingTestSubScreen : public TrackingTestScreen {};

class TrackingTestDelegate : public BBXAnalyticsViewControllerTrackingDelegate {
 public:
  void viewControllerTrackingControllerDidDetectAppearanceOfViewController(BBXAnalyticsViewControllerTrackingController&,
                                                                           platform::ui::ViewController&) override {
    ++appeared;
  }
  void viewControllerTrackingControllerDidDetectDisappearanceOfViewController(
      BBXAnalyticsViewControllerTrackingController&, platform::ui::ViewController&) override {
    ++disappeared;
  }
  int appeared = 0;
  int disappeared = 0;
};

TEST(ViewControllerTrackingTest, HooksInstallOnceRestoreAndSkipBlacklistedClasses) {
  const auto builtIn = platform::ui::appearanceImplementation(platform::ui::AppearanceMethod::ViewDidAppear);
  auto delegate = std::make_shared<TrackingTestDelegate>();
  auto tracking = BBXAnalyticsViewControllerTrackingController::sharedInstance();
  tracking->setDelegate(delegate);
  auto root = std::make_shared<TrackingTestScreen>();
  auto cycle = [&root](const std::shared_ptr<platform::ui::ViewController>& screen) {
    root->presentViewController(screen, false);
    root->dismissViewController(false);
  };

  tracking->startTracking();
  tracking->startTracking();
  cycle(std::make_shared<platform::ui::ViewController>());
  EXPECT_EQ(delegate->appeared, 1);  // once: the hook does not call itself
  EXPECT_EQ(delegate->disappeared, 1);

  tracking->addBlackListViewControllerClass(typeid(TrackingTestScreen));
  cycle(std::make_shared<TrackingTestScreen>());
  EXPECT_EQ(delegate->appeared, 1);
  cycle(std::make_shared<TrackingTestSubScreen>());
  EXPECT_EQ(delegate->appeared, 2);

  tracking->cleanUpUIViewControllerSwizzle();
  EXPECT_EQ(platform::ui::appearanceImplementation(platform::ui::AppearanceMethod::ViewDidAppear), builtIn);
  cycle(std::make_shared<TrackingTestSubScreen>());
  EXPECT_EQ(delegate->appeared, 2);
  tracking->startTracking();
  cycle(std::make_shared<TrackingTestSubScreen>());
  EXPECT_EQ(delegate->appeared, 3);

  BBXAnalyticsViewControllerTrackingController::disposeSharedInstance();
  tracking.reset();  // the last owner puts the built-in implementations back
  EXPECT_EQ(platform::ui::appearanceImplementation(platform::ui::AppearanceMethod::ViewDidAppear), builtIn);
  EXPECT_EQ(platform::ui::appearanceImplementation(platform::ui::AppearanceMethod::ViewDidDisappear), builtIn);
}

}  // namespace
}  // namespace lumora
