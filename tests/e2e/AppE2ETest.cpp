// The whole app as `lumora` opens it, in the offscreen window against the
// local cloud, signed in to the demo account: the two tabs, the settings
// and back, a contacts sync that locks the paging until it ends, and the
// logout from the menu, after which every store is empty and the gallery
// tab's menu is disabled; and the menu's cloud albums, where a long-pressed
// album downloads back into the library.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/AppScenes.h"
#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMContactSyncAdapter.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/E2EHarness.h"
#include "platform/addressbook/AddressBook.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/contacts/LMRootViewController.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/settings/LMSettingViewController.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "screens/shell/LMDeviceUtils.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace ab = platform::addressbook;
namespace photos = platform::photos;
using lumora::LMBaseRootViewController;

constexpr std::int64_t kAppE2EDemoUser = 10001;
constexpr const char* kAppE2EDemoKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

bool appE2EPress(E2EHarness& harness, const std::string& key) {
  return !ui::AlertView::visibleAlerts().empty() && harness.clickButton(ui::localizedString(key));
}

// The demo account seeded in the local cloud and signed in.
void appE2ESignIn(E2EHarness& harness) {
  ASSERT_TRUE(harness.signIn(kAppE2EDemoUser, "demo", kAppE2EDemoKey));
}

// The app as it opens, its first-launch question answered.
std::shared_ptr<ui::NavigationController> appE2EOpen(E2EHarness& harness) {
  lumora::registerAppScenes();
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  if (!navigation) return nullptr;
  harness.showScreen(navigation);
  harness.answerAlerts(ui::localizedString("取消"));
  harness.settle(1);
  return navigation;
}

TEST(AppE2ETest, TabsSettingsASyncLockAndTheLogoutThatEmptiesEveryStore) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  auto manager = lumora::QBPassportsManager::sharedManager();
  appE2ESignIn(harness);
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized).ok());
  {
    auto book = *ab::AddressBook::create();
    for (const char* name : {"Ann", "Bob"}) {
      auto person = *book->createPerson(book->sourceWithId(ab::kLocalSourceId));
      ASSERT_TRUE(person.setValue(ab::PersonProperty::FirstName, std::string(name)).ok());
    }
    ASSERT_TRUE(book->save().ok());
  }
  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMContactSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedRecordContext>());
  lumora::LMImageSyncAdapter::sharedAdapter()->setContext(std::make_shared<lumora::LMManagedAssetContext>());

  auto navigation = appE2EOpen(harness);
  ASSERT_TRUE(navigation);
  auto app = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation->rootViewController());
  ASSERT_TRUE(app);
  harness.screenshot("app-start");

  // The two tabs, by clicks on the switch.
  auto& tab = *app->tabView();
  const double width = ui::Screen::main().bounds().width;
  harness.click(*tab.rightButton());
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->contentOffset().x == width; }));
  EXPECT_FALSE(tab.isSelectLeftTab());
  harness.screenshot("app-gallery-tab");
  harness.click(*tab.leftButton());
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->contentOffset().x == 0; }));

  // The settings and back, by the bar's back item.
  harness.click(*app->settingsButton());
  ASSERT_TRUE(harness.runUntil(
      [&] { return std::dynamic_pointer_cast<lumora::LMSettingViewController>(navigation->topViewController()) != nullptr; }));
  harness.clickBarItem(*navigation, true);
  ASSERT_TRUE(harness.runUntil([&] { return navigation->topViewController() == app; }));

  // A contacts sync locks the paging until its screen is left.
  auto contacts = app->contactVC();
  bool locked = false;
  harness.click(*contacts->syncButton());
  // The sync talks to the local cloud on the adapter's thread: wait in real time too.
  ASSERT_TRUE(harness.waitFor([&] {
    locked = locked || !app->scrollView()->isScrollEnabled();
    return !contacts->adapter()->isSyncing() && !ui::AlertView::visibleAlerts().empty();
  }));
  EXPECT_TRUE(locked);
  EXPECT_FALSE(app->scrollView()->isScrollEnabled());
  EXPECT_EQ(contacts->adapter()->context()->searchAllContactRelations()->size(), 2u);
  harness.clickButton(ui::localizedString("我知道了"));  // the result
  auto finish = contacts->syncLoadViewController()->finishSyncButton();
  ASSERT_TRUE(harness.runUntil([&] { return !finish->isHidden(); }));
  harness.click(*finish);
  ASSERT_TRUE(harness.runUntil([&] { return app->scrollView()->isScrollEnabled(); }));

  // The logout from the menu.
  auto& defaults = platform::UserDefaults::standard();
  harness.click(*app->menuButton());
  ASSERT_TRUE(appE2EPress(harness, "注销Quenby帐号"));
  ASSERT_TRUE(harness.runUntil([] { return !ui::AlertView::visibleAlerts().empty(); }));
  ASSERT_TRUE(appE2EPress(harness, "注销"));
  ASSERT_TRUE(harness.waitFor([] { return lumora::LMProgressHUD::sharedHUD().window() != nullptr; }));
  ASSERT_TRUE(harness.waitFor([] { return lumora::LMProgressHUD::sharedHUD().window() == nullptr; }));
  EXPECT_FALSE(manager->userId().has_value());
  EXPECT_EQ(contacts->adapter()->context()->serverSync(), 0);
  EXPECT_TRUE(contacts->adapter()->context()->searchAllContactRelations()->empty());
  EXPECT_TRUE(contacts->adapter()->hostList().empty());
  EXPECT_TRUE(lumora::LMImageSyncAdapter::sharedAdapter()->context()->searchAllAlbumRelations()->empty());
  auto& gallery = lumora::LMGalleryManager::sharedManager();
  EXPECT_FALSE(gallery.getAllAlbums(gallery.managedObjectContext()).has_value());
  EXPECT_FALSE(gallery.albumSync().has_value());
  EXPECT_FALSE(defaults.boolForKey(lumora::LMDeviceUtils::kRegisteredKey));
  harness.click(*tab.rightButton());
  ASSERT_TRUE(harness.runUntil([&] { return !tab.isSelectLeftTab(); }));
  EXPECT_FALSE(app->menuButton()->isEnabled());
  harness.screenshot("app-signed-out-gallery-tab");

  lumora::LMContactSyncAdapter::sharedAdapter()->setContext(nullptr);
  lumora::LMImageSyncAdapter::sharedAdapter()->setContext(nullptr);
  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMProgressHUD::sharedHUD().resetForTesting();
}

std::set<std::string> appE2ELibraryFiles() {
  std::set<std::string> names;
  for (const auto& asset : photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    names.insert(asset.file.filename().string());
  }
  return names;
}

TEST(AppE2ETest, TheMenusCloudAlbumsDownloadALongPressedAlbumIntoTheLibrary) {
  E2EHarness harness;
  harness.clock().setAutoAdvanceSleeps(true);
  appE2ESignIn(harness);
  lumora::LMGalleryStoreStack::setShared(nullptr);
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
      [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  for (int i = 0; i < 3; ++i) {
    testsupport::writeFile(photos::PhotoLibrary::folder() / ("IMG_" + std::to_string(4000 + i) + ".JPG"),
                           testsupport::makeJpeg(18 + i, 12));
  }
  const std::set<std::string> originals = appE2ELibraryFiles();
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
  ASSERT_TRUE(appE2ELibraryFiles().empty());

  auto navigation = appE2EOpen(harness);
  ASSERT_TRUE(navigation);
  auto app = std::dynamic_pointer_cast<LMBaseRootViewController>(navigation->rootViewController());
  harness.click(*app->tabView()->rightButton());
  ASSERT_TRUE(harness.runUntil([&] { return !app->tabView()->isSelectLeftTab(); }));
  harness.click(*app->menuButton());
  ASSERT_TRUE(appE2EPress(harness, "查看我的云相册"));
  std::shared_ptr<lumora::LMGalleryAlbumCollectionViewController> grid;
  ASSERT_TRUE(harness.waitFor([&] {
    auto presented = std::dynamic_pointer_cast<ui::NavigationController>(navigation->presentedViewController());
    grid = presented ? std::dynamic_pointer_cast<lumora::LMGalleryAlbumCollectionViewController>(
                           presented->topViewController())
                     : nullptr;
    return grid && grid->collectionView()->numberOfItemsInSection(0) >= 1;
  }));
  harness.settle(1);
  auto cell = std::dynamic_pointer_cast<lumora::LMAlbumCollectionViewCell>(
      grid->collectionView()->cellForItemAtIndexPath({0, 0}));
  ASSERT_TRUE(cell);
  harness.longPress(E2EHarness::centre(*cell->button()));
  ASSERT_EQ(grid->selectedItemIDs().size(), 1u);
  harness.settle(1);
  harness.click(*grid->toolBar()->downloadButton());
  auto& hud = lumora::LMProgressHUD::sharedHUD();
  bool progressShown = false;
  ASSERT_TRUE(harness.waitFor([&] {
    progressShown = progressShown || (hud.progressViewController() && hud.window());
    return appE2ELibraryFiles().size() == originals.size() && !gallery->isSyncing();
  }));
  EXPECT_TRUE(progressShown);
  EXPECT_EQ(appE2ELibraryFiles(), originals);
  harness.runUntil([&] { return !hud.window(); });
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty()) << "no failure to tell";
  harness.screenshot("app-album-downloaded");

  monitor.stopMonitoring();
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
  lumora::LMGalleryStoreStack::setShared(nullptr);
}

}  // namespace
}  // namespace e2e
