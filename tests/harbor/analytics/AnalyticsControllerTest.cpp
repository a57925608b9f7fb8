// The analytics controller without a network: intake under the settings
// switches, the maintenance triggers, the timer, pruning and the previous
// run's crash event. Time is a manual clock; uploads go to a fake client.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "harbor/BBXUserDefaults.h"
#include "harbor/Harbor.h"
#include "harbor/analytics/BBXAnalyticsController.h"
#include "harbor/analytics/BBXAnalyticsEvent.h"
#include "harbor/analytics/BBXAnalyticsMetadataEvent.h"
#include "harbor/analytics/BBXTallyCustomEvent.h"
#include "harbor/analytics/BBXTallyPredefinedEvent.h"
#include "harbor/analytics/Tally.h"
#include "platform/device/Bundle.h"
#include "platform/app/Application.h"
#include "platform/dispatch/Clock.h"
#include "support/TestHome.h"

namespace {

using lumora::BBXAnalyticsController;

class ControllerTestIdentifiers : public lumora::BBXAnalyticsIdentifierGenerator {
 public:
  std::string generateSessionFragmentIdentifier() override { return "F" + std::to_string(++next_); }
  std::string generateEventIdentifier() override {
    char text[40];
    std::snprintf(text, sizeof text, "%036d", ++next_);
    return text;
  }
  std::atomic<int> next_{0};
};

class ControllerTestUploads : public lumora::BBXAnalyticsNetworkingClient {
 public:
  void transmitLogFilesAtURLs(const std::vector<std::filesystem::path>&, const std::string&, const std::string&,
                              Completion completion) override {
    ++sent;
    completion(platform::Status::success());
  }
  std::atomic<int> sent{0};
};

class AnalyticsControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Clock::setCurrent(clock_);
    harbor_.setAPIKey("key-1");
  }
  void TearDown() override {
    controller_.reset();
    platform::Clock::setCurrent(nullptr);
  }
  std::shared_ptr<BBXAnalyticsController> make(const std::string& session = "session-1") {
    BBXAnalyticsController::Collaborators collaborators;
    collaborators.harbor = &harbor_;
    collaborators.defaults = &defaults_;
    collaborators.identifierGenerator = identifiers_;
    collaborators.networkingClient = uploads_;
    controller_ = BBXAnalyticsController::make(session, root_, std::nullopt, collaborators);
    return controller_;
  }
  // Waits until work queued so far (and the steps it queues) has run.
  void drain() {
    for (int i = 0; i < 8; ++i) {
      for (std::size_t p = 0; p < 3; ++p) controller_->priorityEventLoggingQueue(p).sync([] {});
      controller_->sessionMaintenanceQueue().sync([] {});
    }
  }
  void apply(const platform::Json& settings) {
    controller_->setSettings(settings);
    drain();
  }
  static platform::Json enabled(platform::Json analytics) {
    analytics["url"] = "http://127.0.0.1:1/analytics";
    analytics["track_custom_events"] = true;
    return {{"features", {{"collect_analytics", true}}}, {"analytics", analytics}};
  }
  // Every record text of every file under the root.
  std::string written() const {
    std::string all;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); ++it) {
      if (!it->is_regular_file()) continue;
      std::ifstream in(it->path(), std::ios::binary);
      all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
  }
  static bool holds(const std::string& text, const std::string& key) {
    return text.find("\t" + key + "\t") != std::string::npos;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  lumora::BBXUserDefaults defaults_{home_.root() / "defaults"};
  lumora::Harbor harbor_{&defaults_};
  std::shared_ptr<ControllerTestIdentifiers> identifiers_ = std::make_shared<ControllerTestIdentifiers>();
  std::shared_ptr<ControllerTestUploads> uploads_ = std::make_shared<ControllerTestUploads>();
  std::filesystem::path root_ = home_.root() / "analytics";
  std::shared_ptr<BBXAnalyticsController> controller_;
};

TEST_F(AnalyticsControllerTest, BeforeSettingsEventsAreWrittenAndActivationOnlyDefersMaintenance) {
  auto controller = make();
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("tap"));
  controller->logPredefinedEvent(lumora::BBXTallySearchEvent("shoes"));
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  platform::ui::ViewController screen;
  auto tracking = lumora::BBXAnalyticsViewControllerTrackingController::sharedInstance();
  controller->viewControllerTrackingControllerDidDetectAppearanceOfViewController(*tracking, screen);
  drain();
  const std::string text = written();
  EXPECT_TRUE(holds(text, "custom") && holds(text, "predefined") && holds(text, "app_became_active"));
  EXPECT_FALSE(holds(text, "view_controller_appeared"));
  EXPECT_FALSE(controller->maintenanceTimerScheduled());
  const auto fragment = controller->currentSessionFragmentDirectoryURL();
  EXPECT_EQ(uploads_->sent, 0);

  // The first settings with collection on run the deferred maintenance.
  apply(enabled({{"flush_interval_secs", 600}}));
  EXPECT_NE(controller->currentSessionFragmentDirectoryURL(), fragment);
  EXPECT_EQ(uploads_->sent, 1);
  EXPECT_TRUE(controller->maintenanceTimerScheduled());

  // A document without "features" switches analytics off and purges.
  apply({{"analytics", {{"url", "http://127.0.0.1:1/a"}}}});
  EXPECT_FALSE(std::filesystem::exists(root_));
  EXPECT_FALSE(controller->maintenanceTimerScheduled());
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("tap"));
  drain();
  EXPECT_EQ(written(), "");

  // On again (no timer: flush interval 0): the next event is written at once.
  apply(enabled({{"flush_interval_secs", 0}}));
  controller->logCustomEvent(lumora::BBXTallyCustomEvent::make("again"));
  drain();
  EXPECT_TRUE(holds(written(), "custom"));
  EXPECT_FALSE(controller->maintenanceTimerScheduled());
}

TEST_F(AnalyticsControllerTest, SizeAndPriorityTriggersStartMaintenance) {
  auto controller = make();
  const auto custom = lumora::BBXTallyCustomEvent::make("tap");
  const auto now = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now().time_since_epoch()).count());
  // A fresh priority-2 file after one event: its metadata plus the event.
  const std::uint64_t oneEventFile =
      lumora::BBXAnalyticsMetadataEvent(2, now, controller->metadataJSONData()).eventData().size() +
      lumora::BBXAnalyticsEvent::make(*custom, now, std::string(36, '0'))->eventData().size();
  struct { std::uint64_t bound; bool maintains; } cases[] = {{oneEventFile, false}, {oneEventFile - 1, true}};
  for (const auto& c : cases) {
    apply(enabled({{"max_byte_size_per_file", c.bound}}));
    controller->maintainSessionFragments({});
    drain();
    const auto before = controller->currentSessionFragmentDirectoryURL();
    controller->logCustomEvent(custom);
    drain();
    EXPECT_EQ(controller->currentSessionFragmentDirectoryURL() != before, c.maintains) << c.bound;
  }
  const auto before = controller->currentSessionFragmentDirectoryURL();
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  drain();
  EXPECT_NE(controller->currentSessionFragmentDirectoryURL(), before);
}

TEST_F(AnalyticsControllerTest, TimerFiresAfterTheRestOfTheIntervalSinceTheLastMaintenance) {
  auto controller = make();
  controller->saveLastMaintenanceDate(
      std::chrono::duration<double>(clock_->now().time_since_epoch()).count() - 1000);
  EXPECT_DOUBLE_EQ(controller->initialMaintenanceDelayWithFlushInterval(3600), 2600);
  apply(enabled({{"flush_interval_secs", 3600}}));
  const auto fragment = controller->currentSessionFragmentDirectoryURL();
  clock_->advance(std::chrono::seconds(2599));
  drain();
  EXPECT_EQ(controller->currentSessionFragmentDirectoryURL(), fragment);
  clock_->advance(std::chrono::seconds(1));
  drain();
  EXPECT_NE(controller->currentSessionFragmentDirectoryURL(), fragment);
}

TEST_F(AnalyticsControllerTest, PruningDropsLowPriorityFilesFirstDownToTheBound) {
  auto controller = make();
  // Waiting files in closed fragments of an older session: priority 2 ones
  // past the default bound, and two of priority 0.
  auto& repository = controller->logSessionRepository();
  const int lowPriority = static_cast<int>(lumora::kBBXAnalyticsDefaultMaxPendingSendFileCount) + 3;
  for (int i = 0; i < lowPriority; ++i) {
    for (std::uint64_t p : {std::uint64_t{0}, std::uint64_t{2}}) {
      if (p == 0 && i >= 2) continue;
      auto url = repository.eventLogFileURLForStateName("ACTIVE", "old", 1, "F" + std::to_string(i), 10 + i, p);
      ASSERT_TRUE(url);
      std::ofstream(url.value()) << "1\tkey\n";
    }
  }
  struct { platform::Json analytics; std::size_t remaining; } cases[] = {
      // No bound in the document: the default one.
      {platform::Json::object(), lumora::kBBXAnalyticsDefaultMaxPendingSendFileCount},
      {{{"max_pending_send_file_count", 2}}, 2},
      {{{"max_pending_send_file_count", 0}}, 0},
  };
  for (const auto& c : cases) {
    platform::Json settings = enabled(c.analytics);
    settings["analytics"].erase("url");  // no upload: files stay until pruned
    apply(settings);
    controller->pruneSessionFragmentLogFiles([](const platform::Status& status) { EXPECT_TRUE(status.ok()); });
    drain();
    auto files = repository.logFileURLsForAllStates();
    ASSERT_TRUE(files);
    std::size_t waiting = 0;
    for (const auto& file : files.value()) {
      if (file.parent_path() == controller->currentSessionFragmentDirectoryURL()) continue;
      ++waiting;
      if (c.remaining == 2) {
        EXPECT_EQ(lumora::BBXEventLogSessionRepository::priorityForEventLogFileWithName(file.filename().string()), 0);
      }
    }
    EXPECT_EQ(waiting, c.remaining) << c.analytics.dump();
  }
}

TEST_F(AnalyticsControllerTest, WithoutAUsableUploadAddressTheUploadStepFailsAtOnce) {
  auto controller = make();
  for (const platform::Json& url : {platform::Json(), platform::Json("::not a url::"), platform::Json("")}) {
    platform::Json settings = enabled(platform::Json::object());
    if (url.is_null()) settings["analytics"].erase("url");
    else settings["analytics"]["url"] = url;
    apply(settings);
    std::int64_t code = 0;
    controller->transmitPackagedSessionFragments(
        [&code](const platform::Status& status) { code = status ? 0 : status.error().code(); });
    drain();
    EXPECT_EQ(code, -2) << url.dump();
  }
  EXPECT_EQ(uploads_->sent, 0);
}

TEST_F(AnalyticsControllerTest, InstallAndPreviousCrashBelongToTheRightRuns) {
  ASSERT_TRUE(harbor_.isFirstInstall());
  auto first = make("run-1");
  ASSERT_TRUE(first);
  first->logAppInstalled();
  first->logPreviousSessionCrashedOnDate(1577836700.75);
  drain();
  EXPECT_TRUE(holds(written(), "app_installed"));
  EXPECT_FALSE(holds(written(), "app_crashed"));  // a first launch has no previous run
  const auto firstSessionTimestamp = std::to_string(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now().time_since_epoch()).count());
  controller_.reset();

  auto second = make("run-2");
  second->logPreviousSessionCrashedOnDate(1577836700.75);
  drain();
  const auto sessionDir = root_ / "v1" / "ACTIVE" / (firstSessionTimestamp + "_run-1");
  bool found = false;
  for (const auto& fragment : std::filesystem::directory_iterator(sessionDir)) {
    if (fragment.path().filename().string().rfind("1577836700000_", 0) == 0) {
      found = std::filesystem::exists(fragment.path() / "1.log");
    }
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(holds(written(), "app_crashed"));
}

}  // namespace

TEST(TallyFacadeTest, StartsOnceAndNeverInsideAnAppExtension) {
  testsupport::TestHome home;
  platform::Bundle::setInfoValue("NSExtension", {{"NSExtensionPointIdentifier", "com.apple.widget-extension"}});
  EXPECT_FALSE(BBXAnalyticsController::supported());
  lumora::Tally::sharedInstance().startWithBetaToken("2:first");
  EXPECT_FALSE(lumora::Tally::sharedInstance().analyticsController());
  // A later start, now in the app itself, changes nothing; calls do nothing.
  platform::Bundle::reset();
  EXPECT_TRUE(BBXAnalyticsController::supported());
  lumora::Tally::sharedInstance().startWithBetaToken("2:second");
  EXPECT_FALSE(lumora::Tally::sharedInstance().analyticsController());
  lumora::Tally::logCustomEventWithName("tap");
  EXPECT_FALSE(std::filesystem::exists(BBXAnalyticsController::defaultRootDirectoryURL()));
}
