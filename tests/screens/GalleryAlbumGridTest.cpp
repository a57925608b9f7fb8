// The cloud album grid over stored albums: names, order and cell reuse;
// selection and the sliding toolbar; the delete walk with its blocked and
// failed albums; the download's refusals, its mobile-data rule as the
// network changes, and its outcomes (cancelled, failed photos, in the
// background, expired).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "cloud/sync/FakeGallery.h"
#include "platform/app/Application.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/UrlError.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "platform/ui/StringFormat.h"
#include "platform/ui/Window.h"
#include "screens/TwoStepScreenCheck.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/gallery/LMAlbumCollectionViewCell.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryRootViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/MainQueuePump.h"
#include "support/TestHome.h"
#include "utils/LMErrors.h"

namespace lumora {
namespace {

namespace ui = platform::ui;
using platform::MainQueue;
using platform::NetworkStatus;
using Grid = LMGalleryAlbumCollectionViewController;

constexpr std::int64_t kAlbumGridMiB = 1048576;

struct AlbumGridSeed {
  std::int64_t id;
  std::string name;
  int minutes;  // last update, minutes after the epoch
  std::vector<std::int64_t> imageSizes;
};

class GalleryAlbumGridTest : public ::testing::Test {
 protected:
  GalleryAlbumGridTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    clock->setAutoAdvanceSleeps(true);
    MainQueue::main().bindToCurrentThread();
    LMGalleryStoreStack::setShared(nullptr);
    platform::Application::shared().resetForTesting();
    platform::BackgroundTask::resetForTesting();
    LMGalleryManager::sharedManager().setAdapter(adapter);
    registerGalleryScenes();
    setFree(1024 * kAlbumGridMiB);
    EXPECT_TRUE(platform::photos::PhotoLibrary::setAuthorizationStatus(platform::photos::AuthorizationStatus::Authorized));
    network(NetworkStatus::ReachableViaWiFi);
    monitor().startMonitoring();
    network(NetworkStatus::ReachableViaWiFi);
  }
  ~GalleryAlbumGridTest() override {
    adapter->cancelSync();
    adapter->resumeSync();
    pump([this] { return adapter->taskOperationQueue().operationCount() == 0; });
    adapter->setSyncing(false);
    // The refreshes' writes are over before the store goes.
    bool written = false;
    LMGalleryManager::sharedManager().deleteImageByImageID(-1, [&](const std::optional<platform::Error>&) { written = true; });
    pump([&] { return written; });
    grid.reset();
    navigation.reset();
    window.reset();
    LMProgressHUD::sharedHUD().resetForTesting();
    ui::AlertView::resetForTesting();
    monitor().resetForTesting();
    platform::Reachability::overrideStatus(std::nullopt);
    LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    LMGalleryManager::sharedManager().setAdapter(nullptr);
    platform::BackgroundTask::resetForTesting();
    platform::Application::shared().resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
    ui::Screen::main().resetForTesting();
  }

  static platform::ReachabilityMonitor& monitor() { return platform::ReachabilityMonitor::sharedMonitor(); }
  void network(NetworkStatus status) {
    platform::Reachability::overrideStatus(status);
    monitor().refresh();
    MainQueue::main().runUntilIdle();
  }
  void setFree(std::optional<std::int64_t> bytes) {
    LMCustomUtils::setFreeSpaceReaderForTesting([bytes](const std::filesystem::path&) { return bytes; });
  }
  bool pump(const std::function<bool()>& pred) { return testsupport::pumpUntil(*clock, pred); }

  void store(const std::vector<AlbumGridSeed>& seeds) {
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    std::int64_t imageID = 1000;
    for (const auto& seed : seeds) {
      auto album = std::static_pointer_cast<LMAlbumObject>(context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
      album->setServerID(seed.id);
      album->setName(seed.name);
      if (seed.id == 1 || seed.id == 2) album->setAlbumType(seed.id);
      album->setLastUpdateDate(platform::Clock::TimePoint(std::chrono::minutes(seed.minutes)));
      album->setTotalImageCount(static_cast<std::int64_t>(seed.imageSizes.size()));
      for (std::int64_t size : seed.imageSizes) {
        auto image = std::static_pointer_cast<LMImageObject>(context->insertNewObjectForEntityForName(LMImageObject::kEntityName));
        image->setServerID(imageID++);
        image->setImageSize(size);
        image->setFileName("IMG_" + std::to_string(imageID) + ".JPG");
        image->setAlbum(album);
      }
    }
    ASSERT_TRUE(context->save());
  }
  void open() {
    navigation = std::dynamic_pointer_cast<ui::NavigationController>(Grid::instantiateScene());
    grid = std::dynamic_pointer_cast<Grid>(navigation->topViewController());
    grid->setAdapter(adapter);
    window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window->setRootViewController(navigation);
    const auto slept = clock->sleptTotal();
    window->makeKeyAndVisible();
    // The refresh on appearing paces its album listing on this clock from a
    // worker: let that jump in time happen now, not in the middle of a step.
    EXPECT_TRUE(pump([&] { return clock->sleptTotal() >= slept + platform::seconds(2.5); }));
    window->layoutIfNeeded();
    grid->collectionView()->reloadData();
    grid->collectionView()->layoutIfNeeded();
  }
  std::shared_ptr<LMAlbumCollectionViewCell> cell(int row) {
    return std::dynamic_pointer_cast<LMAlbumCollectionViewCell>(grid->collectionView()->cellForItemAtIndexPath({0, row}));
  }
  std::vector<std::string> names() {
    std::vector<std::string> shown;
    grid->collectionView()->reloadData();
    grid->collectionView()->layoutIfNeeded();
    for (int row = 0; row < grid->collectionView()->numberOfItemsInSection(0); ++row) {
      shown.push_back(cell(row)->nameLabel()->text() + "|" + cell(row)->typeLabel()->text());
    }
    return shown;
  }
  std::shared_ptr<ui::AlertView> alert(const std::string& text) {
    for (auto& shown : ui::AlertView::visibleAlerts()) {
      if (shown->title() == text || shown->message() == text) return shown;
    }
    return nullptr;
  }
  // Selects the albums by id (in selection mode) the way a user's taps do.
  void select(const std::set<std::int64_t>& ids) {
    grid->setIsBeginSelectAlbums(true);
    auto controller = grid->fetchedResultsController();
    for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
      auto album = std::dynamic_pointer_cast<LMAlbumObject>(controller->objectAtIndex(row));
      if (ids.count(*album->serverID()) != grid->selectedItemIDs().count(*album->serverID())) grid->albumButtonPressed(row);
    }
  }
  void pressDownload() { grid->didPressGalleryToolBarButton(*grid->toolBar()->downloadButton(), 1); }
  bool progressShown() { return LMProgressHUD::sharedHUD().progressViewController() && LMProgressHUD::sharedHUD().window(); }

  testsupport::TestHome home;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<fakegallery::FakeGallery> gallery = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter = std::make_shared<fakegallery::Adapter>(gallery);
  std::shared_ptr<ui::Window> window;
  std::shared_ptr<ui::NavigationController> navigation;
  std::shared_ptr<Grid> grid;
};

TEST_F(GalleryAlbumGridTest, AlbumsShowByTypeThenNewestWithSystemNamesOnlyForBothNameAndId) {
  store({{5, "Trips", 10, {}},
         {2, "snapshot", 1, {}},
         {7, "snapshot", 30, {}},  // a user's album that only shares the name
         {1, "untitled", 2, {}},
         {8, "Pets", 20, {}}});
  open();
  const std::string mine = ui::localizedString("自动上传");
  const std::string system = ui::localizedString("系统相册");
  EXPECT_EQ(names(), (std::vector<std::string>{"snapshot|" + mine, "Pets|" + mine, "Trips|" + mine,
                                               ui::localizedString("untitled") + "|" + system,
                                               ui::localizedString("snapshot") + "|" + system}));
  EXPECT_EQ(grid->collectionView()->frameForItemAtIndexPath({0, 0}), (ui::Rect{36, 10, 130, 182}));
  for (int pass = 0; pass < 2; ++pass) {  // the second pass reuses the cells
    names();
    for (int row = 0; row < 5; ++row) EXPECT_EQ(cell(row)->button()->gestureRecognizers().size(), 2u) << row;
  }

  // Stored changes land as one batch.
  auto context = LMGalleryStoreStack::shared()->managedObjectContext();
  auto controller = grid->fetchedResultsController();
  context->deleteObject(controller->objectAtIndex(0));
  auto added = std::static_pointer_cast<LMAlbumObject>(context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
  added->setServerID(9);
  added->setName(std::string("New"));
  added->setLastUpdateDate(platform::Clock::TimePoint(std::chrono::minutes(40)));
  ASSERT_TRUE(context->save());
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 5);
  EXPECT_EQ(names().front(), "New|" + mine);
}

TEST_F(GalleryAlbumGridTest, SelectionByLongPressOrButtonSlidesTheToolbarAndTapsToggle) {
  store({{5, "Trips", 10, {}}, {8, "Pets", 20, {}}});
  open();
  const double H = grid->view()->bounds().height;
  auto& bar = *grid->toolBar();
  EXPECT_EQ(bar.frame(), (ui::Rect{15, H, 345, 55}));

  grid->albumButtonLongPressed(1);
  EXPECT_TRUE(grid->isBeginSelectAlbums());
  EXPECT_EQ(grid->selectedItemIDs(), (std::set<std::int64_t>{5}));
  EXPECT_TRUE(bar.isEnabled());
  EXPECT_EQ(bar.frame().y, H - 69);
  EXPECT_EQ(bar.presentationFrame().y, H) << "the slide starts from below";
  clock->advance(std::chrono::milliseconds(150));
  EXPECT_NEAR(bar.presentationFrame().y, H - 34.5, 1e-6);
  clock->advance(std::chrono::milliseconds(150));
  EXPECT_EQ(bar.presentationFrame().y, H - 69);
  EXPECT_EQ(grid->navigationItem().rightBarButtonItem->title, ui::localizedString("全选"));

  grid->albumButtonLongPressed(0);  // already selecting: nothing
  EXPECT_EQ(grid->selectedItemIDs().size(), 1u);
  grid->albumButtonPressed(1);  // a tap toggles, never opens
  EXPECT_TRUE(grid->selectedItemIDs().empty());
  EXPECT_FALSE(bar.isEnabled());
  EXPECT_EQ(navigation->viewControllers().size(), 1u);
  grid->selectAlbums();  // "全选"
  EXPECT_EQ(grid->selectedItemIDs(), (std::set<std::int64_t>{5, 8}));
  EXPECT_TRUE(bar.isEnabled());
  EXPECT_FALSE(cell(0)->selectImageView()->isHidden());

  grid->cancelSelected();
  EXPECT_FALSE(grid->isBeginSelectAlbums());
  EXPECT_TRUE(grid->selectedItemIDs().empty());
  EXPECT_EQ(bar.frame().y, H);
  EXPECT_EQ(grid->navigationItem().rightBarButtonItem->title, ui::localizedString("多选"));
  grid->selectAlbums();  // "多选": selection mode, nothing selected
  EXPECT_TRUE(grid->isBeginSelectAlbums());
  EXPECT_TRUE(grid->selectedItemIDs().empty());
  EXPECT_FALSE(bar.isEnabled());

  grid->cancelSelected();
  grid->albumButtonPressed(0);
  auto photos = std::dynamic_pointer_cast<LMGalleryPhotoCollectionViewController>(navigation->topViewController());
  ASSERT_TRUE(photos);
  EXPECT_EQ(photos->albumObject()->serverID(), 8);

  // The back button: nothing without a delegate; the gallery page that
  // presented the grid takes it down.
  grid->cancelCheck(true);
  auto page = std::make_shared<LMGalleryRootViewController>();
  page->setAdapter(adapter);
  auto pageWindow = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  pageWindow->setRootViewController(page);
  pageWindow->makeKeyAndVisible();
  auto presented = Grid::instantiateScene();
  ASSERT_TRUE(page->presentViewController(presented, false));
  auto other = std::dynamic_pointer_cast<Grid>(std::static_pointer_cast<ui::NavigationController>(presented)->topViewController());
  other->setDelegate(std::weak_ptr<LMGalleryAlbumCollectionViewControllerDelegate>(page));
  other->cancelCheck(true);
  EXPECT_FALSE(page->presentedViewController());
}

TEST_F(GalleryAlbumGridTest, DeletingIsBlockedBySystemAlbumsAndKeepsFailedAlbumsSelected) {
  store({{5, "Trips", 10, {}}, {8, "Pets", 20, {}}, {6, "Work", 5, {}}, {2, "snapshot", 1, {}}});
  open();
  auto context = LMGalleryStoreStack::shared()->managedObjectContext();
  auto setCount = [&](std::int64_t id, std::int64_t count) {
    LMGalleryManager::sharedManager().getAlbumById(id, context)->setTotalImageCount(count);
  };
  setCount(5, 3);
  setCount(8, 4);
  setCount(6, 100);
  auto& bar = *grid->toolBar()->deleteButton();

  grid->selectAlbums();
  grid->selectAlbums();  // all, the system album too
  grid->didPressGalleryToolBarButton(bar, 0);
  EXPECT_TRUE(alert(ui::localizedString("Delete System Album Fail")));
  ui::AlertView::resetForTesting();

  select({5, 8});
  grid->didPressGalleryToolBarButton(bar, 0);
  auto confirm = alert(ui::localizedString("删除相册"));
  ASSERT_TRUE(confirm);
  EXPECT_EQ(confirm->message(),
            ui::stringWithFormat(ui::localizedString("Delete Albums Format"), {std::int64_t{2}, std::int64_t{7}}));

  // Album 8's listing fails: it stays, selected and counted.
  gallery->respond = [](const fakegallery::Call& call) -> platform::Result<platform::Json> {
    if (call.path == "/full/album/8" || call.path == "/full/album") return platform::Error(kLMServerErrorDomain, 50001);
    return platform::Json{{"content", platform::Json::array()}, {"lastPage", 1}, {"syncTag", 3}, {"syncExtraInfo", "e"}};
  };
  ASSERT_TRUE(confirm->pressButtonWithTitle(ui::localizedString("删除")));
  ASSERT_TRUE(pump([&] { return alert(ui::localizedString("删除相册")) != nullptr; }));
  EXPECT_EQ(alert(ui::localizedString("删除相册"))->message(),
            ui::localizedCountString("Delete Albums Fail Format", 1));
  EXPECT_EQ(grid->selectedItemIDs(), (std::set<std::int64_t>{8}));
  EXPECT_TRUE(grid->isBeginSelectAlbums());
  EXPECT_TRUE(grid->toolBar()->isEnabled());
  EXPECT_FALSE(LMGalleryManager::sharedManager().getAlbumById(5, context));
  EXPECT_TRUE(LMGalleryManager::sharedManager().getAlbumById(8, context));
  EXPECT_EQ(gallery->callsTo("POST", "/full/album/5/delete").size(), 1u);
}

TEST_F(GalleryAlbumGridTest, DownloadsAreRefusedOfflineAndWithoutTwiceTheirSizePlusAHundredMiBFree) {
  store({{5, "Trips", 10, {40 * kAlbumGridMiB, 10 * kAlbumGridMiB}}, {8, "Empty", 20, {}}});
  open();
  network(NetworkStatus::NotReachable);
  select({5});
  pressDownload();
  EXPECT_TRUE(alert(ui::localizedString("Bad Network")));
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  network(NetworkStatus::ReachableViaWiFi);
  gallery->respond = [](const fakegallery::Call&) -> platform::Result<platform::Json> {
    return platform::Error(kLMServerErrorDomain, 50001);
  };

  struct Case {
    std::set<std::int64_t> albums;
    std::optional<std::int64_t> free;
    bool refused;
  } cases[] = {
      {{5}, 200 * kAlbumGridMiB, false},     // 2 x 50 MiB = 200 - 100
      {{5}, 200 * kAlbumGridMiB - 1, true},  // a byte short
      {{8}, 100 * kAlbumGridMiB - 1, true},  // nothing to fetch, still refused
      {{8}, std::nullopt, true},             // unreadable counts as 0
      {{8}, 100 * kAlbumGridMiB, false},
  };
  for (const auto& c : cases) {
    ui::AlertView::resetForTesting();
    LMProgressHUD::sharedHUD().resetForTesting();
    grid->cancelSelected();
    select(c.albums);
    setFree(c.free);
    grid->downloadAlbums();
    EXPECT_EQ(alert(ui::localizedString("No Enough Space Left On Device")) != nullptr, c.refused) << c.free.value_or(-1);
    EXPECT_EQ(progressShown(), !c.refused) << c.free.value_or(-1);
    ASSERT_TRUE(pump([&] { return !LMProgressHUD::sharedHUD().window() && !adapter->isSyncing(); }));
    EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u);
  }
  EXPECT_EQ(gallery->callsTo("GET", "/full/1000/storage").size(), 1u) << "only the download let through asked";
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty()) << "an empty request ends in the success panel";
}

TEST_F(GalleryAlbumGridTest, MobileDataAsksWithTheSizeSuspendsOnTheWayFromWiFiAndContinuesOnlyWhatItAskedFor) {
  store({{5, "Trips", 10, {3 * kAlbumGridMiB}}});
  open();
  // Each photo's blocks are asked for and held until the test lets go.
  std::atomic<bool> release{false};
  std::atomic<int> asked{0};
  gallery->respond = [&](const fakegallery::Call& call) -> platform::Result<platform::Json> {
    if (call.path.find("/storage") != std::string::npos) {
      ++asked;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return platform::Error(kLMServerErrorDomain, 50001);
    }
    return platform::Json::object();
  };
  auto ended = [&] {
    return pump([&] { return !adapter->isSyncing() && !LMProgressHUD::sharedHUD().window(); });
  };
  network(NetworkStatus::ReachableViaWWAN);
  select({5});
  pressDownload();
  ASSERT_TRUE(pump([&] { return alert(ui::localizedString("流量提示")) != nullptr; }));
  EXPECT_EQ(alert(ui::localizedString("流量提示"))->message(),
            ui::stringWithFormat(ui::localizedString("Mobile Network Download Format"),
                                 {LMCustomUtils::stringWithByteNum(3 * kAlbumGridMiB)}));
  network(NetworkStatus::ReachableViaWiFi);
  EXPECT_TRUE(alert(ui::localizedString("流量提示"))) << "no job was suspended: the question stays";
  ASSERT_TRUE(alert(ui::localizedString("流量提示"))->pressButtonWithTitle(ui::localizedString("继续")));
  EXPECT_TRUE(grid->isBackupWWAN());
  ASSERT_TRUE(pump([&] { return asked.load() == 1; }));
  // Allowed for this download: a move to mobile data leaves it running.
  network(NetworkStatus::ReachableViaWWAN);
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(alert(ui::localizedString("Mobile Network Info")));
  release = true;
  ASSERT_TRUE(ended());
  EXPECT_FALSE(grid->isBackupWWAN()) << "the permission ends with the download";
  ui::AlertView::resetForTesting();

  // Begun on Wi-Fi: a move to mobile data suspends the download and asks;
  // Wi-Fi again resumes it and takes the question back.
  release = false;
  network(NetworkStatus::ReachableViaWiFi);
  pressDownload();
  ASSERT_TRUE(pump([&] { return asked.load() == 2; }));
  network(NetworkStatus::ReachableViaWWAN);
  EXPECT_TRUE(adapter->isSuspended());
  ASSERT_TRUE(alert(ui::localizedString("Mobile Network Info")));
  network(NetworkStatus::ReachableViaWiFi);
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_FALSE(alert(ui::localizedString("Mobile Network Info")));
  // Mobile data again after no network at all is no move from Wi-Fi.
  network(NetworkStatus::NotReachable);
  network(NetworkStatus::ReachableViaWWAN);
  EXPECT_FALSE(adapter->isSuspended());
  network(NetworkStatus::ReachableViaWiFi);

  // Asked while suspended, answered after the job ended: nothing starts.
  network(NetworkStatus::ReachableViaWWAN);
  ASSERT_TRUE(adapter->isSuspended());
  adapter->cancelSync();
  adapter->resumeSync();
  release = true;
  ASSERT_TRUE(ended());
  EXPECT_FALSE(grid->isBackupWWAN());
  ASSERT_TRUE(alert(ui::localizedString("Mobile Network Info"))->pressButtonWithTitle(ui::localizedString("继续")));
  MainQueue::main().runUntilIdle();
  EXPECT_FALSE(LMProgressHUD::sharedHUD().window());
  EXPECT_FALSE(grid->isBackupWWAN());
  EXPECT_EQ(asked.load(), 2);
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty()) << "a cancelled download says nothing";
}

// Each screen's question answers for its own job: the page's for backups,
// the grid's for its downloads, whichever listener hears the network first.
TEST_F(GalleryAlbumGridTest, TheGridAndTheGalleryPageEachAskForTheirOwnJobOnly) {
  auto page = std::make_shared<LMGalleryRootViewController>();
  page->setAdapter(adapter);
  page->loadViewIfNeeded();
  store({{5, "Trips", 10, {kAlbumGridMiB}}});
  open();
  std::atomic<bool> release{false};
  gallery->respond = [&](const fakegallery::Call& call) -> platform::Result<platform::Json> {
    if (call.path.find("/storage") != std::string::npos) {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return platform::Error(kLMServerErrorDomain, 50001);
    }
    return platform::Json::object();
  };
  select({5});
  pressDownload();
  ASSERT_TRUE(pump([&] { return adapter->isSyncing(); }));
  network(NetworkStatus::ReachableViaWWAN);
  EXPECT_TRUE(adapter->isSuspended());
  EXPECT_FALSE(page->mobileDataAlert()) << "the download is not the page's";
  auto question = alert(ui::localizedString("Mobile Network Info"));
  ASSERT_TRUE(question);
  ASSERT_TRUE(question->pressButtonWithTitle(ui::localizedString("继续")));
  EXPECT_FALSE(adapter->isSuspended());
  EXPECT_TRUE(grid->isBackupWWAN());
  EXPECT_FALSE(page->isBackupWWAN());
  release = true;
  ASSERT_TRUE(pump([&] { return !adapter->isSyncing() && !LMProgressHUD::sharedHUD().window(); }));
  ui::AlertView::resetForTesting();

  // The next backup on mobile data asks.
  page->backupGallery();
  EXPECT_TRUE(page->mobileDataAlert());
  EXPECT_FALSE(adapter->isSyncing());

  // The grid goes; the page still hears the network for its backups.
  std::weak_ptr<Grid> gone = grid;
  std::weak_ptr<LMDownloadNetworkGuard> guard = grid->networkGuard();
  window->setRootViewController(nullptr);
  navigation.reset();
  grid.reset();
  ASSERT_TRUE(gone.expired());
  EXPECT_TRUE(guard.expired());
  ui::AlertView::resetForTesting();
  network(NetworkStatus::ReachableViaWiFi);
  adapter->setSyncing(true);
  page->willAdapterBeginBackup();
  network(NetworkStatus::ReachableViaWWAN);
  EXPECT_TRUE(adapter->isSuspended());
  EXPECT_TRUE(page->mobileDataAlert());
  page->didAdapterFailBackupImages(platform::Error(kLMLocalErrorDomain, -10012));
  adapter->setSyncing(false);
}

TEST_F(GalleryAlbumGridTest, ATwoStepDemandPushesTheCodeScreenWhoseCancelReturnsToTheGrid) {
  open();
  expectTwoStepScreenReturnsToItsOwner(*navigation, grid, [&] { grid->presentTitle("", "", platform::Error("any", 81003)); });
}

TEST_F(GalleryAlbumGridTest, OutcomesCountFailedPhotosStillShowInTheBackgroundAndExpiryCancels) {
  store({{5, "Trips", 10, {kAlbumGridMiB, kAlbumGridMiB, kAlbumGridMiB}}});
  open();
  select({5});
  std::atomic<bool> hold{false};
  gallery->respond = [&](const fakegallery::Call& call) -> platform::Result<platform::Json> {
    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (call.path.find("/storage") != std::string::npos) return platform::Error(kLMServerErrorDomain, 50001);
    return platform::Json::object();
  };
  // In the background: no progress, the outcome still shown.
  platform::Application::shared().setApplicationState(platform::ApplicationState::Background);
  grid->downloadAlbums();
  ASSERT_TRUE(pump([&] { return alert(ui::localizedString("Download Albums")) != nullptr; }));
  EXPECT_EQ(alert(ui::localizedString("Download Albums"))->message(),
            ui::stringWithFormat(ui::localizedString("Download Albums Fail Num Info"), {std::int64_t{3}}));
  EXPECT_EQ(platform::BackgroundTask::runningCount(), 0u);
  EXPECT_EQ(grid->selectedItemIDs(), (std::set<std::int64_t>{5})) << "the selection stays";
  platform::Application::shared().setApplicationState(platform::ApplicationState::Active);
  ui::AlertView::resetForTesting();

  // The time runs out while the cloud holds the first photo.
  hold = true;
  grid->downloadAlbums();
  ASSERT_TRUE(pump([&] { return platform::BackgroundTask::runningCount() == 1u && adapter->isSyncing(); }));
  EXPECT_EQ(platform::BackgroundTask::expireAll(), 0u) << "the handler ended its task";
  EXPECT_TRUE(adapter->isCancelled());
  EXPECT_FALSE(grid->isBackupWWAN());
  hold = false;
  ASSERT_TRUE(pump([&] { return !adapter->isSyncing() && !LMProgressHUD::sharedHUD().window(); }));
  MainQueue::main().runUntilIdle();
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());
}

// Offline, the grid tells why it is empty, and the network's return fills
// it; a mobile-data question gives way to the offline failure once there
// is no network at all.
TEST_F(GalleryAlbumGridTest, OfflineTheListingFailureIsToldAndTheMobileDataQuestionGivesWayToIt) {
  std::atomic<bool> offline{true};
  std::atomic<bool> release{false};
  gallery->respond = [&](const fakegallery::Call& call) -> platform::Result<platform::Json> {
    if (call.path.find("/storage") != std::string::npos) {
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (offline) return platform::http::makeUrlError(platform::http::kUrlErrorNotConnectedToInternet, call.path);
    if (call.path.find("/storage") != std::string::npos) return platform::Error(kLMServerErrorDomain, 50001);
    if (call.method != "GET" || call.path != "/full/album") return platform::Json::object();
    return platform::Json{{"list", {{{"id", 5}, {"status", 1}, {"tag", 3}, {"name", "Trips"}},
                                    {{"id", 6}, {"status", 1}, {"tag", 3}, {"name", "Pets"}}}},
                          {"lastPage", true}, {"syncTag", 25}, {"syncExtraInfo", "e25"}};
  };
  store({{6, "Pets", 5, {kAlbumGridMiB}}});
  network(NetworkStatus::NotReachable);
  open();
  const std::string title = ui::localizedString("我的云相册");
  ASSERT_TRUE(pump([&] { return alert(title) != nullptr; }));
  EXPECT_EQ(alert(title)->message(), ui::localizedString("Bad Network"));
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 1) << "what is stored";
  ui::AlertView::resetForTesting();
  offline = false;
  network(NetworkStatus::ReachableViaWiFi);
  ASSERT_TRUE(pump([&] { return grid->fetchedResultsController()->numberOfObjects() == 2; }));
  EXPECT_TRUE(ui::AlertView::visibleAlerts().empty());

  // Asked before a download: the question goes, the download is refused.
  network(NetworkStatus::ReachableViaWWAN);
  grid->networkGuard()->askBeforeDownload("3 MB");
  ASSERT_TRUE(alert(ui::localizedString("流量提示")));
  network(NetworkStatus::NotReachable);
  EXPECT_FALSE(alert(ui::localizedString("流量提示")));
  ASSERT_TRUE(alert(ui::localizedString("Download Albums")));
  EXPECT_EQ(alert(ui::localizedString("Download Albums"))->message(), ui::localizedString("Bad Network"));
  ui::AlertView::resetForTesting();

  // Asked for a download it suspended: the download goes on, fails offline
  // and says so.
  network(NetworkStatus::ReachableViaWiFi);
  select({6});
  grid->downloadAlbums();
  ASSERT_TRUE(pump([&] { return grid->networkGuard()->isDownloading() && gallery->callsTo("GET", "/full/1000/storage").size() == 1; }));
  network(NetworkStatus::ReachableViaWWAN);
  ASSERT_TRUE(adapter->isSuspended());
  ASSERT_TRUE(alert(ui::localizedString("Mobile Network Info")));
  offline = true;
  network(NetworkStatus::NotReachable);
  EXPECT_FALSE(alert(ui::localizedString("Mobile Network Info")));
  EXPECT_FALSE(adapter->isSuspended());
  release = true;
  ASSERT_TRUE(pump([&] { return !adapter->isSyncing() && !LMProgressHUD::sharedHUD().window(); }));
  MainQueue::main().runUntilIdle();
  ASSERT_TRUE(alert(ui::localizedString("Download Photo Fail")));
  EXPECT_EQ(alert(ui::localizedString("Download Photo Fail"))->message(), ui::localizedString("Bad Network"));
}

}  // namespace
}  // namespace lumora
