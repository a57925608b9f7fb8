// The gallery page drives a whole backup of 20 library photos against the
// local cloud: the button starts it, the progress screen names each photo,
// "完成" comes at the end, and the cloud's lists land in the gallery cache.
#include <gtest/gtest.h>

#include <set>

#include "SignedRequestFixture.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "server/services/GalleryService.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"

namespace {

namespace photos = platform::photos;

class GalleryPageBackupTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    clock->setAutoAdvanceSleeps(true);
    platform::MainQueue::main().bindToCurrentThread();
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    platform::ReachabilityMonitor::sharedMonitor().refresh();
    signInWithKnownKey();
    lumora::LMGalleryManager::sharedManager().setAdapter(gallery);
  }
  void TearDown() override {
    lumora::LMGalleryManager::sharedManager().setAdapter(nullptr);
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    lumora::LMGalleryStoreStack::setShared(nullptr);
    page.reset();
    gallery.reset();
    SignedRequestCloudTest::TearDown();
  }

  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<lumora::LMImageSyncAdapter> gallery = std::make_shared<lumora::LMImageSyncAdapter>();
  std::shared_ptr<lumora::LMGalleryRootViewController> page = std::make_shared<lumora::LMGalleryRootViewController>();
};

TEST_F(GalleryPageBackupTest, TheButtonBacksUpTheLibraryAndTheScreenEndsWithDone) {
  for (int i = 0; i < 20; ++i) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(1000 + i) + ".JPG"),
                           testsupport::makeJpeg(16 + i, 12));
  }
  page->setAdapter(gallery);
  page->loadViewIfNeeded();
  page->backupGalleryPressed();
  auto screen = page->syncLoadViewController();
  std::set<std::string> statuses;
  std::set<std::string> fileNames;
  bool done = false;
  // The backup runs on the adapter's thread against the local cloud, in real
  // time; the screen's own timers run on the clock, moved on meanwhile.
  const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(40));
  while (!done && std::chrono::steady_clock::now() < until) {
    platform::MainQueue::main().runUntil([] { return false; }, std::chrono::milliseconds(2));
    clock->advance(std::chrono::milliseconds(50));
    if (!screen) screen = page->syncLoadViewController();
    if (!screen) continue;
    statuses.insert(screen->statusLabel->text());
    if (auto prefix = screen->photoNumLabel->prefixStr()) fileNames.insert(*prefix);
    done = !screen->finishSyncButton->isHidden();
  }
  ASSERT_TRUE(done) << "the run did not end";
  EXPECT_FALSE(gallery->isSyncing());
  EXPECT_TRUE(statuses.count(platform::ui::localizedString("正在获取云端信息")));
  EXPECT_TRUE(statuses.count(platform::ui::localizedString("数据备份完成")));
  EXPECT_EQ(fileNames.size(), 20u);
  EXPECT_TRUE(fileNames.count("IMG_1000.JPG "));
  EXPECT_EQ(screen->processLabel->toProgress(), 0.99f);
  std::size_t live = 0;
  for (const auto& image : server_->gallery().records().images(signedtest::kUserId)) live += image.status == "custom";
  EXPECT_EQ(live, 20u);

  // The cloud's lists were handed to the cache: the albums are there.
  platform::MainQueue::main().runUntil(
      [] {
        auto& manager = lumora::LMGalleryManager::sharedManager();
        return manager.getAllAlbums(manager.managedObjectContext()).has_value();
      },
      testsupport::scaled(std::chrono::seconds(10)));
  auto& manager = lumora::LMGalleryManager::sharedManager();
  EXPECT_TRUE(manager.getAllAlbums(manager.managedObjectContext()).has_value());
}

}  // namespace
