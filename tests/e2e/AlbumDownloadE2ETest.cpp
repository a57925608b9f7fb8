// The cloud album grid in the offscreen window against the local cloud:
// photos backed up into their cloud album, removed from the phone, come
// back through a long press on the album and the toolbar's "下载", with the
// progress panel up while they come down.
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
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace photos = platform::photos;
using lumora::LMGalleryAlbumCollectionViewController;

constexpr std::int64_t kAlbumE2EUserId = 10003;
constexpr const char* kAlbumE2EKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

std::set<std::string> albumE2EFiles() {
  std::set<std::string> names;
  for (const auto& asset : photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    names.insert(asset.file.filename().string());
  }
  return names;
}

TEST(AlbumDownloadE2ETest, ALongPressedAlbumComesBackIntoTheLibrary) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  ASSERT_TRUE(harness.signIn(kAlbumE2EUserId, "albums", kAlbumE2EKey));

  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
      [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  for (int i = 0; i < 4; ++i) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(3000 + i) + ".JPG"),
                           testsupport::makeJpeg(20 + i, 14));
  }
  const std::set<std::string> originals = albumE2EFiles();
  ASSERT_EQ(originals.size(), 4u);
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  monitor.startMonitoring();
  monitor.refresh();

  // Backed up, then gone from the phone.
  auto gallery = lumora::LMImageSyncAdapter::sharedAdapter();
  gallery->performTaskBlock([gallery] { gallery->backupAllImages(); });
  ASSERT_TRUE(harness.waitFor([&] { return gallery->taskOperationQueue().operationCount() == 0; }));
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  std::vector<std::string> ids;
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) ids.push_back(asset.localIdentifier);
  ASSERT_TRUE(library->performChangesAndWait([&](photos::ChangeRequests& changes) { changes.deleteAssets(ids); }));
  ASSERT_TRUE(albumE2EFiles().empty());

  lumora::registerGalleryScenes();
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateViewControllerWithIdentifier(LMGalleryAlbumCollectionViewController::kSceneIdentifier));
  ASSERT_TRUE(navigation);
  auto grid = std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(navigation->topViewController());
  ASSERT_TRUE(grid);
  harness.showScreen(navigation);
  harness.answerAlerts(ui::localizedString("取消"));
  ASSERT_TRUE(harness.waitFor([&] { return grid->collectionView()->numberOfItemsInSection(0) >= 1; }));
  harness.settle(1);
  auto cell = std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(
      grid->collectionView()->cellForItemAtIndexPath({0, 0}));
  ASSERT_TRUE(cell);

  harness.longPress(E2EHarness::centre(*cell->button()));
  ASSERT_TRUE(grid->isBeginSelectAlbums());
  ASSERT_EQ(grid->selectedItemIDs().size(), 1u);
  harness.settle(1);
  harness.screenshot("album-grid-selected");
  harness.click(*grid->toolBar()->downloadButton());

  auto& hud = lumora::LMProgressHUD::sharedHUD();
  bool progressShown = false;
  ASSERT_TRUE(harness.waitFor([&] {
    progressShown = progressShown || (hud.progressViewController() && hud.window());
    return albumE2EFiles().size() == originals.size() && !gallery->isSyncing();
  }));
  EXPECT_TRUE(progressShown);
  EXPECT_EQ(albumE2EFiles(), originals);
  harness.runUntil([&] { return !hud.window(); });
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
  EXPECT_EQ(grid->selectedItemIDs().size(), 1u) << "the selection stays";

  monitor.stopMonitoring();
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
}

}  // namespace
}  // namespace e2e
