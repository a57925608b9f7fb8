// A cloud album in the offscreen window against the local cloud: the photo
// grid of 30 photos and a video asks the cloud for thumbnail addresses one
// request at a time; a click opens the browser, three drags turn three
// pages, a double-click zooms; download puts the photo into the library and
// delete takes it off the cloud. A photo the cloud cannot show is asked for
// afresh once per screen, not for ever.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cloud/model/LMBlockDigests.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/BrowserPages.h"
#include "e2e/E2EHarness.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/AppHome.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Resources.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/common/LMStoryboard.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "server/services/GalleryService.h"
#include "support/MainQueuePump.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace photos = platform::photos;
using lumora::LMGalleryPhotoBrowseViewController;
using lumora::LMGalleryPhotoCollectionViewController;

constexpr std::int64_t kPhotosE2EUserId = 10003;
constexpr const char* kPhotosE2EKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
constexpr std::int64_t kPhotosE2EDay = 1'600'000'000;

// The app in the window on a signed-in account with one cloud album.
class GalleryPhotosE2ETest : public ::testing::Test {
 protected:
  GalleryPhotosE2ETest() {
    harness_.clock().setAutoAdvanceSleeps(true);
    EXPECT_TRUE(harness_.signIn(kPhotosE2EUserId, "photos", kPhotosE2EKey));
    auto& records = harness_.cloud().gallery().records();
    EXPECT_TRUE(records.ensureUser(kPhotosE2EUserId));
    album_ = records.createAlbum(kPhotosE2EUserId, "Trips", "trips").album.id;
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::registerGalleryScenes();
  }
  ~GalleryPhotosE2ETest() override {
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    lumora::LMGalleryStoreStack::setShared(nullptr);
  }

  // A file put into the cloud album as a backup puts it, taken on day
  // `taken`; its cloud id.
  std::int64_t upload(const std::string& name, const platform::Bytes& data, bool video, std::int64_t taken) {
    const std::filesystem::path path = platform::AppHome::tmp() / name;
    testsupport::writeFile(path, data);
    const lumora::LMBlockDigests digests = lumora::digestBlocksOfData(data);
    lumora::LMImage image;
    image.assetID = name;
    image.serverGroupID = album_;
    image.fileName = name;
    image.type = video ? lumora::kLMAssetTypeVideo : lumora::kLMAssetTypeImage;
    image.size = static_cast<std::int64_t>(data.size());
    image.sha1 = digests.sha1;
    image.blockInfos = digests.blockInfos;
    image.filePath = path.string();
    image.creationDate = platform::Clock::TimePoint(std::chrono::seconds(kPhotosE2EDay + taken));
    std::int64_t id = 0;
    lumora::LMImageSyncAdapter::sharedAdapter()->uploadImage(
        image, [&](const lumora::LMImage& stored) { id = stored.serverID.value_or(0); },
        [](const platform::Error& error) { ADD_FAILURE() << error.description(); });
    return id;
  }
  // A file of tests/media put into the library and backed up into the
  // cloud album as a backup exports it (its EXIF read as it is sent);
  // its cloud id.
  std::int64_t backUpSample(const std::string& file, std::int64_t taken) {
    const platform::Bytes data = testsupport::readFile(testsupport::mediaSamplePath(file));
    testsupport::writeFile(photos::PhotoLibrary::folder() / file, data);
    for (const auto& asset :
         photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
      if (asset.file.filename() != file) continue;
      auto image = lumora::LMImage::initWithAsset(&asset);
      EXPECT_TRUE(image && !image->error);
      if (!image || image->error) return 0;
      image->serverGroupID = album_;
      image->creationDate = platform::Clock::TimePoint(std::chrono::seconds(kPhotosE2EDay + taken));
      std::int64_t id = 0;
      lumora::LMImageSyncAdapter::sharedAdapter()->uploadImage(
          *image, [&](const lumora::LMImage& stored) { id = stored.serverID.value_or(0); },
          [](const platform::Error& error) { ADD_FAILURE() << error.description(); });
      return id;
    }
    ADD_FAILURE() << file << " is not in the library";
    return 0;
  }
  // The grid of the album, shown in a navigation controller.
  std::shared_ptr<LMGalleryPhotoCollectionViewController> openGrid() {
    auto context = lumora::LMGalleryStoreStack::shared()->managedObjectContext();
    auto album = std::static_pointer_cast<lumora::LMAlbumObject>(
        context->insertNewObjectForEntityForName(lumora::LMAlbumObject::kEntityName));
    album->setServerID(album_);
    album->setName(std::string("Trips"));
    EXPECT_TRUE(context->save());
    auto grid = std::dynamic_pointer_cast<LMGalleryPhotoCollectionViewController>(
        lumora::LMStoryboard::instantiateViewControllerWithIdentifier(
            LMGalleryPhotoCollectionViewController::kSceneIdentifier));
    EXPECT_TRUE(grid);
    if (!grid) return nullptr;
    grid->setAlbumObject(album);
    harness_.showScreen(ui::NavigationController::withRoot(grid));
    return grid;
  }
  static std::shared_ptr<lumora::LMPhotoCollectionViewCell> cellAt(LMGalleryPhotoCollectionViewController& grid,
                                                                    int row) {
    return std::dynamic_pointer_cast<lumora::LMPhotoCollectionViewCell>(
        grid.collectionView()->cellForItemAtIndexPath({0, row}));
  }
  // The thumbnail-address requests the cloud answered, in order.
  std::vector<localcloud::SignedCall> thumbnailCalls() {
    std::vector<localcloud::SignedCall> calls;
    for (auto& call : harness_.cloud().signedEndpoints().recentCalls()) {
      if (call.path.ends_with("/thumbnails")) calls.push_back(call);
    }
    return calls;
  }

  // Waits until no thumbnail view has a request on its way and the gallery
  // cache has written what came: the queues they share outlive the test.
  void drain(LMGalleryPhotoCollectionViewController& grid) {
    EXPECT_TRUE(harness_.waitFor([&] {
      std::vector<std::shared_ptr<lumora::LMThumbnailImageView>> views;
      for (const auto& path : grid.collectionView()->indexPathsForVisibleItems()) {
        if (auto cell = cellAt(grid, path.row)) views.push_back(cell->imageView());
      }
      if (auto browser = grid.photoBrowser()) {
        for (const auto& [index, page] : browser->visiblePages()) views.push_back(page->imageView());
      }
      return std::all_of(views.begin(), views.end(), [](const auto& view) { return view->enqueueTimes() == 0; });
    }));
    bool written = false;
    lumora::LMGalleryManager::sharedManager().deleteImageByImageID(
        -1, [&](const std::optional<platform::Error>&) { written = true; });
    EXPECT_TRUE(harness_.waitFor([&] { return written; }));
  }

  E2EHarness harness_;
  std::int64_t album_ = 0;
};

std::shared_ptr<ui::AlertView> photosE2EAlert(const std::string& key) {
  for (auto& alert : ui::AlertView::visibleAlerts()) {
    if (alert->title() == ui::localizedString(key)) return alert;
  }
  return nullptr;
}

TEST_F(GalleryPhotosE2ETest, GridAsksOneAtATimeBrowserTurnsZoomsDownloadsAndDeletes) {
  // Photo i is 40 + i pixels wide; the video is the newest, the first row.
  for (int i = 0; i < 30; ++i) {
    upload("IMG_" + std::to_string(3000 + i) + ".JPG", testsupport::makeJpeg(40 + i, 30), false, i);
  }
  ASSERT_GT(upload("MOV_3100.MOV", testsupport::makeMovie(64, 48, 2.0), true, 100), 0);
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
      [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
  auto& monitor = platform::ReachabilityMonitor::sharedMonitor();
  platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
  monitor.startMonitoring();
  monitor.refresh();

  auto grid = openGrid();
  ASSERT_TRUE(grid);
  auto& view = *grid->collectionView();
  ASSERT_TRUE(harness_.waitFor([&] { return view.numberOfItemsInSection(0) == 31; }));
  // Every photo on screen gets its thumbnail; the video keeps its badge.
  std::size_t photosShown = 0;
  ASSERT_TRUE(harness_.waitFor([&] {
    photosShown = 0;
    for (const auto& path : view.indexPathsForVisibleItems()) {
      auto cell = cellAt(*grid, path.row);
      if (!cell || path.row == 0) continue;
      if (!cell->imageView()->image() || cell->imageView()->alpha() < 1) return false;
      ++photosShown;
    }
    return photosShown >= 20;
  }));
  EXPECT_FALSE(cellAt(*grid, 0)->playView()->isHidden());
  // The grid's requests: none began before the one before it was answered.
  // (Only the grid's: a browser page given its photo again cancels its
  // request on the network, and the cloud still finishes that one while
  // the next is on its way.)
  ASSERT_TRUE(harness_.waitFor([&] {
    for (const auto& path : view.indexPathsForVisibleItems()) {
      if (auto cell = cellAt(*grid, path.row); cell && cell->imageView()->enqueueTimes() != 0) return false;
    }
    return true;
  }));
  const auto calls = thumbnailCalls();
  EXPECT_GE(calls.size(), photosShown);
  for (std::size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GE(calls[i].received, calls[i - 1].answered) << i;
  }
  harness_.settle(0.5);  // the thumbnails' fade
  harness_.screenshot("gallery-photos-grid");

  // The second cell opens the browser at the newest photo; three drags to
  // the left turn three pages.
  harness_.click(*cellAt(*grid, 1));
  auto browser = grid->photoBrowser();
  ASSERT_TRUE(browser);
  harness_.settle(1);
  EXPECT_EQ(browser->titleLabel()->text(), "2/31");
  for (int turn = 1; turn <= 3; ++turn) {
    harness_.drag({320, 400}, {40, 400});
    harness_.settle(1);
    EXPECT_EQ(browser->photoIndex(), static_cast<std::size_t>(1 + turn)) << turn;
  }
  EXPECT_EQ(browser->titleLabel()->text(), "5/31");
  std::shared_ptr<lumora::LMPhotoView> page;
  for (const auto& [index, shown] : browser->visiblePages()) {
    if (index == browser->photoIndex()) page = shown;
  }
  ASSERT_TRUE(page);
  ASSERT_TRUE(harness_.waitFor([&] { return page->imageView()->image().has_value(); }));
  harness_.settle(1);
  EXPECT_LT(page->zoomScale(), page->maximumZoomScale());
  harness_.doubleClick({187, 333});
  harness_.settle(1);
  EXPECT_DOUBLE_EQ(page->zoomScale(), page->maximumZoomScale());
  harness_.screenshot("gallery-photos-zoomed");

  // Download: the library gains the photo shown (photo 26).
  const auto before = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image);
  harness_.click(*browser->toolBar()->downloadButton());
  std::vector<photos::Asset> after;
  ASSERT_TRUE(harness_.waitFor([&] {
    after = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image);
    return after.size() == before.size() + 1;
  }));
  bool gained = false;
  for (const auto& asset : after) gained = gained || asset.pixelWidth == 40 + 26;
  EXPECT_TRUE(gained);
  ASSERT_TRUE(harness_.waitFor([] { return !lumora::LMProgressHUD::sharedHUD().window(); }));
  EXPECT_EQ(photosE2EAlert("Download Photo Fail"), nullptr);

  // Delete: the cloud loses it, and the browser one page.
  auto shown = std::dynamic_pointer_cast<lumora::LMImageObject>(
      grid->fetchedResultsController()->objectAtIndex(browser->photoIndex()));
  ASSERT_TRUE(shown && shown->serverID());
  const std::int64_t id = *shown->serverID();
  harness_.click(*browser->toolBar()->deleteButton());
  ASSERT_NE(photosE2EAlert("Remove Photos Title"), nullptr);
  harness_.clickButton(ui::localizedString("删除"));
  auto& records = harness_.cloud().gallery().records();
  ASSERT_TRUE(harness_.waitFor([&] {
    auto image = records.image(kPhotosE2EUserId, id);
    return image && image->status == localcloud::GalleryStore::kImageDeleted;
  }));
  ASSERT_TRUE(harness_.waitFor([&] { return browser->titleLabel()->text().ends_with("/30"); }));
  harness_.screenshot("gallery-photos-deleted");

  drain(*grid);
  monitor.stopMonitoring();
  lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
}

TEST_F(GalleryPhotosE2ETest, APhotoTheCloudCannotShowIsAskedForAfreshOncePerScreen) {
  upload("BROKEN.JPG", platform::toBytes(std::string("these bytes are no picture")), false, 0);
  auto grid = openGrid();
  ASSERT_TRUE(grid);
  ASSERT_TRUE(harness_.waitFor([&] { return grid->collectionView()->numberOfItemsInSection(0) == 1; }));
  auto quiet = [&](std::size_t calls) {
    // The calls were made, and a while on nothing more is asked.
    EXPECT_TRUE(harness_.waitFor([&] { return thumbnailCalls().size() >= calls; }));
    testsupport::pumpUntil(harness_.clock(), [] { return false; }, std::chrono::milliseconds(600));
    return thumbnailCalls().size();
  };
  // The grid: its address at the cell's pixel size, refused (415), once
  // more at its point size, refused again.
  EXPECT_EQ(quiet(2), 2u);
  for (const auto& call : thumbnailCalls()) EXPECT_EQ(call.status, 200);

  // The browser: the large address, refused, asked for once more.
  harness_.click(*cellAt(*grid, 0));
  ASSERT_TRUE(grid->photoBrowser());
  EXPECT_EQ(quiet(4), 4u);
  drain(*grid);
}

// Photos stored on their side, backed up from the library: a JPEG turned
// by its EXIF and a HEIC turned by its own transform (and its EXIF), each
// drawn upright once in its grid cell and its browser page, never turned
// twice.
TEST_F(GalleryPhotosE2ETest, PhotosStoredOnTheirSideAreDrawnUprightInTheGridAndTheBrowser) {
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  // Stored red left, blue right. Shown: the JPEG (orientation 8) with red
  // below; the HEIC (orientation 6) with red above.
  struct Shown {
    const char* file;
    bool redAbove;
  };
  const Shown shown[] = {{"photo.heic", true}, {"photo.jpg", false}};  // newest first
  ASSERT_GT(backUpSample("photo.jpg", 0), 0);
  ASSERT_GT(backUpSample("photo.heic", 1), 0);
  auto grid = openGrid();
  ASSERT_TRUE(grid);
  ASSERT_TRUE(harness_.waitFor([&] { return grid->collectionView()->numberOfItemsInSection(0) == 2; }));
  // Upright: taller than wide, red at the end the photo's turn puts it.
  auto expectUpright = [](const ui::Image& image, bool redAbove, const std::string& where) {
    ASSERT_TRUE(image.bitmap()) << where;
    const platform::Image& bitmap = *image.bitmap();
    EXPECT_GT(bitmap.height(), bitmap.width()) << where;
    const platform::Bytes pixels = bitmap.RGBARepresentation().value();
    auto red = [&](int y) { return pixels[static_cast<std::size_t>(y * bitmap.width() + bitmap.width() / 2) * 4]; };
    const int top = red(bitmap.height() / 8);
    const int bottom = red(bitmap.height() - 1 - bitmap.height() / 8);
    EXPECT_EQ(top > bottom, redAbove) << where << ": red " << top << " above, " << bottom << " below";
  };
  for (int row = 0; row < 2; ++row) {
    std::shared_ptr<lumora::LMPhotoCollectionViewCell> cell;
    ASSERT_TRUE(harness_.waitFor([&] {
      cell = cellAt(*grid, row);
      return cell && cell->imageView()->image() && cell->imageView()->alpha() == 1;
    }));
    expectUpright(*cell->imageView()->image(), shown[row].redAbove, std::string(shown[row].file) + " in the grid");
  }
  harness_.settle(0.5);  // the thumbnails' fade
  harness_.screenshot("gallery-photos-upright-grid");

  harness_.click(*cellAt(*grid, 0));
  auto browser = grid->photoBrowser();
  ASSERT_TRUE(browser);
  for (std::size_t index = 0; index < 2; ++index) {
    const auto page = swipedToPage(harness_, *browser, index);
    ASSERT_TRUE(page) << "page " << index << " after a swipe";
    // The large picture, turned upright once it came.
    ASSERT_TRUE(harness_.waitFor([&] { return page->imageView()->image() && page->imageView()->enqueueTimes() == 0; }));
    harness_.settle(0.5);
    expectUpright(*page->imageView()->image(), shown[index].redAbove,
                  std::string(shown[index].file) + " in the browser");
    harness_.screenshot(("gallery-photos-upright-browser-" + std::to_string(index)).c_str());
  }
  drain(*grid);
}

}  // namespace
}  // namespace e2e
