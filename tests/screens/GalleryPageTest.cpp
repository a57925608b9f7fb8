// The gallery page and its progress screen: a scripted run's progress and
// result counts, the failure reactions, the mobile-data rule, the deferred
// backup after skipped photos, the link label's tap area.
#include <gtest/gtest.h>

#include "cloud/sync/FakeGallery.h"
#include "platform/app/Application.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/device/Reachability.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "screens/shell/LMAppSettingConfig.h"
#include "platform/ui/TextMeasurer.h"
#include "platform/dispatch/NotificationCenter.h"
#include "screens/TwoStepScreenCheck.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

using platform::MainQueue;
namespace ui = platform::ui;

class GalleryPageTest : public ::testing::Test {
 protected:
  GalleryPageTest() {
    MainQueue::main().bindToCurrentThread();
    LMGalleryStoreStack::setShared(nullptr);
    platform::Application::shared().resetForTesting();
    page->setAdapter(adapter);
    page->loadViewIfNeeded();
    page->hideSyncLoadViewController(false);
    screen = page->syncLoadViewController();
  }
  ~GalleryPageTest() override {
    // A backup a test started must not outlive it: the process would end
    // with the adapter's task still running.
    adapter->cancelSync();
    MainQueue::main().runUntil([this] { return adapter->taskOperationQueue().operationCount() == 0; },
                               testsupport::scaled(std::chrono::seconds(10)));
    adapter->setSyncing(false);
    LMGalleryStoreStack::setShared(nullptr);
    platform::Application::shared().resetForTesting();
  }
  std::vector<std::string> notifications() {
    std::vector<std::string> bodies;
    for (const auto& n : platform::Application::shared().scheduledLocalNotifications()) bodies.push_back(n.alertBody);
    return bodies;
  }
  std::vector<std::string> alertTitles() {
    std::vector<std::string> titles;
    for (const auto& alert : ui::AlertView::visibleAlerts()) titles.push_back(alert->title());
    return titles;
  }
  // The end of the pulse cycle that is turning: the run's result shows.
  void endCycle() { screen->syncAnimationDidFinish(); }

  testsupport::TestHome home;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<fakegallery::FakeGallery> gallery = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter = std::make_shared<fakegallery::Adapter>(gallery);
  std::shared_ptr<LMGalleryRootViewController> page = std::make_shared<LMGalleryRootViewController>();
  std::shared_ptr<LMGallerySyncLoadViewController> screen;
};

TEST_F(GalleryPageTest, AScriptedRunMovesTheBarsAndCountsWhatWentUp) {
  screen->beginSyncAnimation();
  auto& overall = screen->processLabel;
  auto& perPhoto = screen->photoNumLabel;
  LMImage photo;
  photo.fileName = "IMG_1.JPG";
  struct Step {
    std::function<void()> report;
    float overall;
  };
  const std::vector<Step> steps = {
      {[&] { page->willAdapterBeginBackup(); }, 0},
      {[&] { page->willAdapterCreateLumoraAlbums(1, 2); }, 0.05f},
      {[&] { page->didAdapterFinishBackupAlbums(2); }, 0.1f},
      {[&] { page->willAdapterUploadImagesCount(3); }, 0.2f},
      {[&] { page->willAdapterUploadImage(photo, 0, 3); }, 0.2f},
      {[&] { page->didAdapterUploadImage(photo, 0, 3); }, 0.2f + 0.79f / 3},
      {[&] { page->didAdapterFailUploadImage(photo, platform::Error("x", 1), 1, 3); }, 0.2f + 2 * 0.79f / 3},
  };
  for (const auto& step : steps) {
    step.report();
    EXPECT_NEAR(overall->toProgress(), step.overall, 1e-4);
  }
  page->willAdapterUploadImage(photo, 2, 3);
  EXPECT_EQ(perPhoto->prefixStr(), "IMG_1.JPG ");
  page->didAdapterUploadImageBytesWritten(photo, 10, 10, 0);
  EXPECT_EQ(perPhoto->toProgress(), 0) << "nothing expected moves nothing";
  page->didAdapterUploadImageBytesWritten(photo, 5, 5, 10);
  EXPECT_NEAR(perPhoto->toProgress(), 0.5, 1e-6);

  LMImage failed;
  failed.assetID = "asset-9";
  page->didAdapterFinishBackupImages({failed}, 3);
  EXPECT_NEAR(overall->toProgress(), 0.99, 1e-4);
  EXPECT_EQ(notifications(), std::vector<std::string>{ui::stringWithFormat(
                                 ui::localizedString("备份照片结果样式1"), {std::int64_t{2}})})
      << "the run less the failed photo";
  EXPECT_GT(LMAppSettingConfig::sharedConfig().lastBackupGalleryTime(), 0);
  EXPECT_TRUE(screen->linkLabel->isHidden()) << "the link only after the completion";
  endCycle();
  for (int i = 0; i < 20 && screen->finishSyncButton->isHidden(); ++i) {
    clock->advance(std::chrono::milliseconds(100));
    MainQueue::main().runUntilIdle();
  }
  EXPECT_FALSE(screen->finishSyncButton->isHidden());
  EXPECT_FALSE(screen->linkLabel->isHidden());
  EXPECT_EQ(page->failImages().size(), 1u);
}

// A run in which folders of the library could not be read ends told so,
// not as complete; a photo's name on the progress screen is shown with its
// control characters escaped.
TEST_F(GalleryPageTest, ARunWithFoldersNotReadEndsToldSoAndNamesShowEscaped) {
  for (const std::uint64_t unread : {0, 2}) {
    SCOPED_TRACE(unread);
    screen->beginSyncAnimation();
    page->willAdapterBeginBackup();
    for (std::uint64_t i = 0; i < unread; ++i) page->didAdapterFailReadLibraryFolder(platform::Error("x", 1));
    page->willAdapterUploadImagesCount(1);
    LMImage photo;
    photo.fileName = "a\x1b]0;t\x07\n.JPG";
    page->willAdapterUploadImage(photo, 0, 1);
    EXPECT_EQ(screen->photoNumLabel->prefixStr(), "a\\x1b]0;t\\x07\\n.JPG ");
    page->didAdapterUploadImage(photo, 0, 1);
    page->didAdapterFinishBackupImages({}, 1);
    endCycle();
    for (int i = 0; i < 20 && screen->finishSyncButton->isHidden(); ++i) {
      clock->advance(std::chrono::milliseconds(100));
      MainQueue::main().runUntilIdle();
    }
    EXPECT_FALSE(screen->finishSyncButton->isHidden());
    EXPECT_EQ(screen->statusLabel->text(),
              unread ? ui::localizedCountString("Library Folders Unread Format", std::int64_t{2})
                     : ui::localizedString("数据备份完成"));
  }
}

TEST_F(GalleryPageTest, AFailedRunCountsWhatWasHandledAndReactsToItsError) {
  struct Case {
    platform::Error error;
    std::optional<std::string> alert;
  };
  const std::vector<Case> cases = {
      {platform::Error(kLMLocalErrorDomain, -10012), std::nullopt},
      {platform::Error(kLMLocalErrorDomain, -10013), ui::localizedString("No Photos Authority")},
      {platform::Error(kLMServerErrorDomain, 50006), ui::localizedString("存储空间已满")},
      {platform::Error("any", 70016), std::nullopt},
      {platform::Error("any", 81003), std::nullopt},
      {platform::Error(kLMServerErrorDomain, 500), ui::localizedString("备份失败")},
  };
  for (const auto& c : cases) {
    ui::AlertView::resetForTesting();
    screen->beginSyncAnimation();
    page->willAdapterBeginBackup();
    page->didAdapterFailBackupImages(c.error);
    endCycle();
    EXPECT_TRUE(screen->view()->isHidden()) << c.error.code();
    EXPECT_EQ(alertTitles(), c.alert ? std::vector<std::string>{*c.alert} : std::vector<std::string>{})
        << c.error.code();
  }
  EXPECT_TRUE(notifications().empty()) << "nothing was handled before the first photo";

  // Stopped after the first of five photos: one done, four left.
  screen->beginSyncAnimation();
  page->willAdapterBeginBackup();
  page->willAdapterUploadImagesCount(5);
  page->didAdapterUploadImage(std::nullopt, 0, 5);
  page->didAdapterFailBackupImages(platform::Error(kLMLocalErrorDomain, -10012));
  EXPECT_EQ(notifications(), std::vector<std::string>{ui::localizedCountString(
                                 "备份照片结果样式3", {std::int64_t{1}, std::int64_t{4}})});
}

// The text under the count of photos not yet backed up agrees with it.
TEST_F(GalleryPageTest, TheTextUnderTheCountOfPhotosLeftAgreesWithIt) {
  for (std::uint64_t count : {1, 2, 0}) {
    page->displayBackupImageNum(count);
    const auto n = static_cast<std::int64_t>(count);
    EXPECT_EQ(page->numInfoLabel->text(), ui::localizedCountString("Backup Image Info", n)) << count;
  }
}

TEST_F(GalleryPageTest, ATwoStepDemandPushesTheCodeScreenWhoseCancelReturnsAndWhoseSuccessGoesOn) {
  auto navigation = ui::NavigationController::withRoot(page);
  navigation->loadViewIfNeeded();
  int logins = 0;
  auto login = platform::NotificationCenter::defaultCenter().addObserver(
      LMGalleryRootViewController::kDidLoginNotification, [&](const std::string&, const platform::Json&) { ++logins; });
  expectTwoStepScreenReturnsToItsOwner(*navigation, page, [&] {
    screen->beginSyncAnimation();
    page->willAdapterBeginBackup();
    page->didAdapterFailBackupImages(platform::Error("any", 81003));
    endCycle();
  });
  EXPECT_EQ(logins, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(login);
}

TEST_F(GalleryPageTest, MobileDataSuspendsTheRunningBackupUntilWiFiOrPermissionForThatRunOnly) {
  struct Container : LMSynBaseViewControllerDelegate {
    void didControllerBeginSync(LMSynBaseViewController&) override { ++locks; }
    void didControllerEndSync(LMSynBaseViewController&) override { --locks; }
    int locks = 0;
  };
  auto container = std::make_shared<Container>();
  page->setDelegate(container);
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  auto set = [&](platform::NetworkStatus status) {
    platform::Reachability::overrideStatus(status);
    monitor.refresh();
    MainQueue::main().runUntilIdle();
  };
  monitor.startMonitoring();
  set(platform::NetworkStatus::ReachableViaWiFi);
  // A job that is no backup (an album screen's download) is not the page's
  // to suspend or ask about.
  adapter->setSyncing(true);
  set(platform::NetworkStatus::ReachableViaWWAN);
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(page->mobileDataAlert());
  set(platform::NetworkStatus::ReachableViaWiFi);

  page->willAdapterBeginBackup();
  EXPECT_EQ(container->locks, 1);
  set(platform::NetworkStatus::ReachableViaWWAN);
  EXPECT_TRUE(adapter->isSuspended());
  ASSERT_TRUE(page->mobileDataAlert());
  set(platform::NetworkStatus::ReachableViaWiFi);
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(page->mobileDataAlert()) << "dismissed with the resumed run";
  EXPECT_TRUE(alertTitles().empty());
  // No network at all: the question gives way, the run goes on to fail
  // offline as any run does.
  set(platform::NetworkStatus::ReachableViaWWAN);
  ASSERT_TRUE(page->mobileDataAlert());
  set(platform::NetworkStatus::NotReachable);
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(page->mobileDataAlert());
  EXPECT_TRUE(alertTitles().empty());
  set(platform::NetworkStatus::ReachableViaWiFi);

  // Allowed: a later move to mobile data leaves the run alone.
  set(platform::NetworkStatus::ReachableViaWWAN);
  ASSERT_TRUE(ui::AlertView::visibleAlerts().front()->pressButtonWithTitle(ui::localizedString("继续")));
  EXPECT_TRUE(page->isBackupWWAN());
  EXPECT_FALSE(adapter->isSuspended());

  // The run ends without an animating screen (started in the background):
  // the permission and the container's lock end with it all the same.
  adapter->setSyncing(false);
  page->didAdapterFinishBackupImages({}, 0);
  EXPECT_FALSE(page->isBackupWWAN());
  EXPECT_EQ(container->locks, 0);
  page->willAdapterBeginBackup();
  page->didAdapterFailBackupImages(platform::Error(kLMLocalErrorDomain, -10012));
  EXPECT_EQ(container->locks, 0);
  EXPECT_TRUE(alertTitles().empty());

  // Asked before a backup, then no network: the backup is refused offline.
  set(platform::NetworkStatus::ReachableViaWWAN);
  page->backupGallery();
  ASSERT_TRUE(page->mobileDataAlert());
  set(platform::NetworkStatus::NotReachable);
  EXPECT_EQ(alertTitles(), (std::vector<std::string>{ui::localizedString("照片备份")}));
  EXPECT_EQ(ui::AlertView::visibleAlerts().front()->message(), ui::localizedString("Bad Network"));
  ui::AlertView::resetForTesting();
}

TEST_F(GalleryPageTest, ABusyAdapterStartsNothingAndTheStopAlertAlwaysDecides) {
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  screen->view()->setHidden(true);
  adapter->setSyncing(true);
  page->backupGallery();
  EXPECT_TRUE(screen->view()->isHidden()) << "no spinning screen";
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u) << "no task left open";

  // The stop alert suspends; its answer resumes or cancels the run.
  for (const char* answer : {"关闭", "停止备份"}) {
    ui::AlertView::resetForTesting();
    screen->cancelSyncButtonPressed();
    ASSERT_TRUE(adapter->isSuspended()) << answer;
    ASSERT_TRUE(ui::AlertView::visibleAlerts().front()->pressButtonWithTitle(ui::localizedString(answer)));
    EXPECT_FALSE(adapter->isSuspended()) << answer;
  }
  EXPECT_TRUE(adapter->isCancelled());
}

TEST_F(GalleryPageTest, SkippedPhotosLeadToOneBackupAMinuteAfterTheLastReport) {
  // A backup that starts stays queued, so that it is seen however quickly
  // it would have run to its end.
  adapter->taskOperationQueue().setSuspended(true);
  page->didSyncIgnoreGalleryWithAdapter(*adapter);
  MainQueue::main().runUntilIdle();
  clock->advance(std::chrono::seconds(30));
  page->didSyncIgnoreGalleryWithAdapter(*adapter);
  MainQueue::main().runUntilIdle();
  clock->advance(std::chrono::seconds(45));
  MainQueue::main().runUntilIdle();
  EXPECT_FALSE(adapter->backgroundTaskIsRunning()) << "the first request was replaced";
  clock->advance(std::chrono::seconds(15));
  MainQueue::main().runUntilIdle();
  EXPECT_TRUE(adapter->backgroundTaskIsRunning());
  EXPECT_EQ(adapter->taskOperationQueue().operationCount(), 1u) << "one backup";
  adapter->taskOperationQueue().setSuspended(false);
}

TEST_F(GalleryPageTest, TheLinkAreaIsTheLinkOfACentredLine) {
  auto label = std::make_shared<LMGalleryLinkLabel>(ui::Rect{0, 0, 300, 20});
  label->setPrefixString("2 failed. ", "Details");
  const auto measurer = ui::TextMeasurer::current();
  const double prefix = measurer->measure("2 failed. ", ui::Font::systemFont(15), 1e9, 0).width;
  const double link = measurer->measure("Details", ui::Font::systemFont(15), 1e9, 0).width;
  EXPECT_DOUBLE_EQ(label->linkRect().x, (prefix + 300 - link) / 2);
  EXPECT_DOUBLE_EQ(label->linkRect().width, link);
  EXPECT_EQ(label->text(), "2 failed. Details");
}

}  // namespace
}  // namespace lumora
