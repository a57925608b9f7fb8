// The photo browser's download over one stored photo: the space it needs,
// the mobile-data prompt with the photo's size, a download paused when the
// network falls back to mobile data and resumed on Wi-Fi, a cancel that
// ends without a word, and a prompt that outlived its download.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "cloud/sync/FakeGallery.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/FetchedResultsController.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMThumbnailImageView.h"
#include "support/MainQueuePump.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "utils/LMErrors.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

constexpr std::int64_t kBrowserActionsMiB = 1024 * 1024;
constexpr std::int64_t kBrowserActionsPhotoID = 700;

std::shared_ptr<ui::AlertView> browserActionsAlert(const std::string& titleKey) {
  for (auto& alert : ui::AlertView::visibleAlerts()) {
    if (alert->title() == ui::localizedString(titleKey)) return alert;
  }
  return nullptr;
}

class PhotoBrowserActionsTest : public ::testing::Test {
 protected:
  PhotoBrowserActionsTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    clock_->setAutoAdvanceSleeps(true);
    LMGalleryStoreStack::setShared(nullptr);
    EXPECT_TRUE(platform::photos::PhotoLibrary::setAuthorizationStatus(platform::photos::AuthorizationStatus::Authorized));
    LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(200 * kBrowserActionsMiB); });
    LMThumbnailImageView::Transport refused;
    refused.make = [](std::int64_t, ui::Size) -> platform::Result<platform::http::Request> {
      return platform::Error("test", -1, nullptr);
    };
    LMThumbnailImageView::setTransportForTesting(refused);
    // The image's blocks are asked for; the answer waits for the test.
    gallery_->respond = [this](const fakegallery::Call&) -> platform::Result<platform::Json> {
      std::unique_lock lock(mutex_);
      ++asked_;
      changed_.notify_all();
      changed_.wait_for(lock, testsupport::scaled(std::chrono::seconds(20)), [&] { return answer_.has_value(); });
      auto answer = answer_.value_or(platform::Error("test", -2, nullptr));
      answer_.reset();
      return answer;
    };
    setNetwork(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    window_->setRootViewController(std::make_shared<ui::ViewController>());
    window_->makeKeyAndVisible();
  }
  ~PhotoBrowserActionsTest() override {
    answer(platform::Error("test", -3, nullptr));
    platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
    LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    LMThumbnailImageView::setTransportForTesting(std::nullopt);
    LMProgressHUD::sharedHUD().resetForTesting();
    ui::Screen::main().resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
  }

  void setNetwork(platform::NetworkStatus status) {
    platform::Reachability::overrideStatus(status);
    platform::ReachabilityMonitor::sharedMonitor().refresh();
    pump([] { return true; });
  }
  std::shared_ptr<LMGalleryPhotoBrowseViewController> open(std::int64_t size) {
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    auto album = std::static_pointer_cast<LMAlbumObject>(
        context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
    album->setServerID(9);
    album->setName(std::string("Trips"));
    photo_ = std::static_pointer_cast<LMImageObject>(
        context->insertNewObjectForEntityForName(LMImageObject::kEntityName));
    photo_->setServerID(kBrowserActionsPhotoID);
    photo_->setFileName(std::string("IMG_0700.JPG"));
    photo_->setType(std::string("ALAssetTypePhoto"));
    photo_->setImageSize(size);
    photo_->setAlbum(album);
    EXPECT_TRUE(context->save());
    platform::objectstore::FetchRequest request;
    request.entityName = LMImageObject::kEntityName;
    request.sortDescriptors = {{"createDate", false}};
    auto photos = std::make_shared<platform::objectstore::FetchedResultsController>(request, context);
    EXPECT_TRUE(photos->performFetch().ok());

    auto browser = std::make_shared<LMGalleryPhotoBrowseViewController>();
    browser->setAdapter(adapter_);
    browser->setFetchedResultsController(photos);
    browser->show();
    browser->setCurrentPhotoIndex(0);
    window_->layoutIfNeeded();
    return browser;
  }
  bool pump(const std::function<bool()>& pred) { return testsupport::pumpUntil(*clock_, pred); }
  int asked() {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  void answer(platform::Result<platform::Json> reply) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(reply);
    changed_.notify_all();
  }
  void resize(std::int64_t size) {
    photo_->setImageSize(size);
    EXPECT_TRUE(LMGalleryStoreStack::shared()->managedObjectContext()->save());
  }
  bool downloading() { return adapter_->isSyncing(); }
  static bool progressShown() { return LMProgressHUD::sharedHUD().window() != nullptr; }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  // The gallery's answers (they outlive the adapter's thread).
  std::mutex mutex_;
  std::condition_variable changed_;
  int asked_ = 0;
  std::optional<platform::Result<platform::Json>> answer_;
  std::shared_ptr<fakegallery::FakeGallery> gallery_ = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter_ = std::make_shared<fakegallery::Adapter>(gallery_);
  std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  std::shared_ptr<LMImageObject> photo_;
};

TEST_F(PhotoBrowserActionsTest, DownloadsNeedRoomAskBeforeMobileDataAndPauseWhenWiFiGoes) {
  // Twice the photo must fit beside 100 MiB kept free.
  auto browser = open(60 * kBrowserActionsMiB);
  browser->toolBar()->downloadButton()->tap();
  auto refused = ui::AlertView::visibleAlerts();
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0]->message(), ui::localizedString("No Enough Space Left On Device"));
  refused[0]->dismiss();
  EXPECT_FALSE(progressShown());

  // On Wi-Fi a 50 MiB photo goes at once; mobile data pauses it with a
  // prompt that Wi-Fi takes away again.
  resize(50 * kBrowserActionsMiB);
  browser->toolBar()->downloadButton()->tap();
  ASSERT_TRUE(pump([&] { return asked() == 1; }));
  ASSERT_TRUE(downloading());
  setNetwork(platform::NetworkStatus::ReachableViaWWAN);
  ASSERT_NE(browserActionsAlert("流量提示"), nullptr);
  EXPECT_EQ(browserActionsAlert("流量提示")->message(), ui::localizedString("Mobile Network Info"));
  EXPECT_TRUE(adapter_->isSuspended());
  setNetwork(platform::NetworkStatus::ReachableViaWiFi);
  EXPECT_EQ(browserActionsAlert("流量提示"), nullptr);
  EXPECT_FALSE(adapter_->isSuspended());

  // Paused again, then stopped in the progress panel: the download ends
  // without a word, and the prompt it left starts nothing.
  setNetwork(platform::NetworkStatus::ReachableViaWWAN);
  auto stale = browserActionsAlert("流量提示");
  ASSERT_NE(stale, nullptr);
  ASSERT_TRUE(LMProgressHUD::sharedHUD().progressViewController());
  LMProgressHUD::sharedHUD().progressViewController()->button->tap();
  answer(LMImageSyncAdapter::cancellationError());
  ASSERT_TRUE(pump([&] { return !downloading() && !progressShown(); }));
  EXPECT_EQ(ui::AlertView::visibleAlerts(), (std::vector<std::shared_ptr<ui::AlertView>>{stale}));
  ASSERT_TRUE(stale->pressButtonWithTitle(ui::localizedString("继续")));
  EXPECT_FALSE(progressShown());

  // On mobile data every download asks first, with the photo's size.
  for (int attempt = 0; attempt < 2; ++attempt) {
    browser->toolBar()->downloadButton()->tap();
    auto prompt = browserActionsAlert("流量提示");
    ASSERT_NE(prompt, nullptr) << attempt;
    EXPECT_THAT(prompt->message(), ::testing::HasSubstr(LMCustomUtils::stringWithByteNum(50 * kBrowserActionsMiB)));
    ASSERT_TRUE(prompt->pressButtonWithTitle(ui::localizedString("继续")));
    ASSERT_TRUE(pump([&] { return asked() == 2 + attempt; })) << attempt;
    EXPECT_TRUE(browser->isBackupWWAN());
    answer(platform::Error("test", 500, nullptr));
    ASSERT_TRUE(pump([&] { return browserActionsAlert("Download Photo Fail") != nullptr; })) << attempt;
    browserActionsAlert("Download Photo Fail")->dismiss();
    EXPECT_FALSE(browser->isBackupWWAN());
  }
}

}  // namespace
}  // namespace lumora
