// The gallery page in the offscreen window against the local cloud: a user
// clicks the backup button over 20 library photos; the screen names the
// phases and each photo and ends with "完成". Mid-run the network moves to
// mobile data: the run waits on the prompt until "继续". Two uploads the
// cloud refuses give the details link, which opens their two thumbnails.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace photos = platform::photos;
using lumora::LMGalleryRootViewController;

constexpr std::int64_t kGalleryE2EUserId = 10002;
constexpr const char* kGalleryE2EKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

std::shared_ptr<ui::AlertView> galleryE2EAlert(const std::string& key) {
  for (auto& alert : ui::AlertView::visibleAlerts()) {
    if (alert->title() == ui::localizedString(key)) return alert;
  }
  return nullptr;
}

TEST(GalleryPageE2ETest, BackupShowsPhotosWaitsOnMobileDataAndOpensTheFailedOnes) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto& cloud = harness.cloud();
  ASSERT_TRUE(harness.signIn(kGalleryE2EUserId, "gallery", kGalleryE2EKey));

  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
      [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  for (int i = 0; i < 20; ++i) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(2000 + i) + ".JPG"),
                           testsupport::makeJpeg(16 + i, 12));
  }
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  monitor.startMonitoring();
  monitor.refresh();

  lumora::registerGalleryScenes();
  auto page = std::dynamic_pointer_cast<LMGalleryRootViewController>(
      lumora::LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryRootViewController::kSceneIdentifier));
  ASSERT_TRUE(page);
  harness.showScreen(ui::NavigationController::withRoot(page));
  harness.answerAlerts(ui::localizedString("取消"));  // first-launch questions
  harness.settle(1);
  harness.click(*page->backupButton);

  std::set<std::string> statuses;
  std::set<std::string> fileNames;
  bool faulted = false;
  bool prompted = false;
  auto screen = [&] { return page->syncLoadViewController(); };
  auto watch = [&] {
    if (!screen() || !screen()->isViewLoaded()) return;
    statuses.insert(screen()->statusLabel->text());
    if (auto prefix = screen()->photoNumLabel->prefixStr()) fileNames.insert(*prefix);
  };
  // Mid-run: the cloud refuses the next two uploads, and the network moves
  // to mobile data.
  ASSERT_TRUE(harness.waitFor([&] { watch(); return fileNames.size() >= 5; }));
  localcloud::Fault refused;
  refused.code = 50001;
  refused.times = 2;
  cloud.faults().set("/lum/gallery/v3/user/" + std::to_string(kGalleryE2EUserId) + "/full", refused);
  faulted = true;
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWWAN);
  monitor.refresh();
  ASSERT_TRUE(harness.waitFor([&] { watch(); return galleryE2EAlert("流量提示") != nullptr; }));
  prompted = true;
  EXPECT_TRUE(page->adapter()->isSuspended());
  harness.screenshot("gallery-page-mobile-data");
  harness.clickButton(ui::localizedString("继续"));
  EXPECT_FALSE(page->adapter()->isSuspended());

  ASSERT_TRUE(harness.waitFor([&] { watch(); return !screen()->finishSyncButton->isHidden(); }));
  ASSERT_TRUE(harness.waitFor([&] { return !screen()->linkLabel->isHidden(); }));
  harness.screenshot("gallery-page-done");
  EXPECT_TRUE(faulted && prompted);
  EXPECT_TRUE(statuses.count(ui::localizedString("正在获取云端信息")));
  EXPECT_TRUE(statuses.count(ui::localizedString("数据备份完成")));
  EXPECT_EQ(fileNames.size(), 20u);
  EXPECT_EQ(page->failImages().size(), 2u);

  auto link = screen()->linkLabel;
  auto rect = link->linkRect();
  harness.click(link->convertPointToView({rect.midX(), rect.midY()}, nullptr));
  ASSERT_TRUE(harness.waitFor([&] { return page->presentedViewController() != nullptr; }));
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(page->presentedViewController());
  ASSERT_TRUE(navigation);
  auto grid = std::dynamic_pointer_cast<lumora::LMErrorPhotoCollectionViewController>(navigation->topViewController());
  ASSERT_TRUE(grid);
  ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 2);
  for (int row = 0; row < 2; ++row) {
    auto cell = std::dynamic_pointer_cast<lumora::LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
    ASSERT_TRUE(cell) << row;
    EXPECT_TRUE(harness.waitFor([&] { return cell->imageView->image().has_value(); })) << "thumbnail " << row;
  }
  harness.screenshot("gallery-page-failed-photos");

  monitor.stopMonitoring();
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
}

}  // namespace
}  // namespace e2e
