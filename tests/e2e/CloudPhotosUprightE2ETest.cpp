// Cloud photos drawn upright wherever they show, in the offscreen window
// against the local cloud, reached by clicks as a user reaches them: JPEGs
// of every EXIF orientation (the mirrored ones too) and two HEICs, one
// turned by the file's own transform and one with none (its EXIF
// orientation, which HEIF decoders do not apply, must not turn it), each
// backed up as a backup sends it. Each shows upright as an album's cover
// on "My Cloud Albums", as painted on the screen, and as either photo
// stacked behind a cover; in selection; in its album's grid and in the
// photo browser.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/AppScenes.h"
#include "cloud/model/LMImage.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "e2e/BrowserPages.h"
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
#include "screens/gallery/LMCloudPhotoImage.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "screens/shell/LMBaseRootViewController.h"
#include "server/services/GalleryService.h"
#include "support/TestMedia.h"

namespace e2e {
namespace {

namespace photos = platform::photos;
using lumora::LMAlbumCollectionViewCell;
using lumora::LMGalleryAlbumCollectionViewController;
using lumora::LMGalleryPhotoCollectionViewController;

constexpr std::int64_t kUprightUser = 10001;
constexpr const char* kUprightKey = "MDEyMzQ1Njc4OWFiY2RlZg==";
constexpr std::int64_t kUprightDay = 1'600'000'000;

// A photo of the library and its quarters as they show upright
// (testsupport::quadrantsOf).
struct UprightPhoto {
  std::string file;
  platform::Bytes data;
  std::string upright;
};

std::vector<UprightPhoto> uprightPhotos() {
  std::vector<UprightPhoto> photos;
  // Shown 48 x 64, as a phone's portrait photo: stored on its side for 5 to 8.
  for (int orientation = 1; orientation <= 8; ++orientation) {
    photos.push_back({"O" + std::to_string(orientation) + ".JPG", testsupport::makeQuadrantJpeg(48, 64, orientation),
                      "RGBW"});
  }
  photos.push_back({"PLAIN.HEIC", testsupport::makeQuadrantHeic(48, 64, 6), "RGBW"});
  // Stored red left and blue right, turned by the file: red above.
  photos.push_back({"TURNED.HEIC", testsupport::readFile(testsupport::mediaSamplePath("photo.heic")), "RRBB"});
  return photos;
}

// The quarters of `view` as painted on the screen `shot`.
std::string paintedQuadrants(const QImage& shot, const ui::View& view) {
  const double scale = shot.width() / ui::Screen::main().bounds().width;
  const ui::Point origin = view.convertPointToView({0, 0}, nullptr);
  std::string corners;
  for (const auto& [fx, fy] : {std::pair{1, 1}, std::pair{3, 1}, std::pair{1, 3}, std::pair{3, 3}}) {
    const QColor c = shot.pixelColor(static_cast<int>((origin.x + view.bounds().width * fx / 4) * scale),
                                     static_cast<int>((origin.y + view.bounds().height * fy / 4) * scale));
    corners += testsupport::quadrantColour(c.red(), c.green(), c.blue());
  }
  return corners;
}

std::string shownQuadrants(const ui::ImageView& view) {
  return view.image() && view.image()->bitmap() ? testsupport::quadrantsOf(*view.image()->bitmap()) : "none";
}

class CloudPhotosUprightE2ETest : public ::testing::Test {
 protected:
  CloudPhotosUprightE2ETest() {
    harness_.clock().setAutoAdvanceSleeps(true);
    EXPECT_TRUE(harness_.signIn(kUprightUser, "demo", kUprightKey));
    lumora::LMGalleryStoreStack::setShared(nullptr);
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    EXPECT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    platform::ReachabilityMonitor::sharedMonitor().refresh();
  }
  ~CloudPhotosUprightE2ETest() override {
    harness_.waitFor([] {
      auto images = lumora::LMImageSyncAdapter::sharedAdapter();
      return images->taskOperationQueue().operationCount() == 0 && !images->isSyncing();
    });
    ui::AlertView::resetForTesting();
    lumora::LMProgressHUD::sharedHUD().resetForTesting();
    harness_.closeScreen();
    platform::ReachabilityMonitor::sharedMonitor().stopMonitoring();
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    lumora::LMGalleryStoreStack::setShared(nullptr);
  }

  // The photo put into the library, backed up into the cloud album as a
  // backup exports it (its EXIF read as it is sent), taken at `taken`.
  void backUp(const UprightPhoto& photo, std::int64_t album, std::int64_t taken) {
    const auto path = photos::PhotoLibrary::folder() / photo.file;
    if (!std::filesystem::exists(path)) testsupport::writeFile(path, photo.data);
    for (const auto& asset :
         photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
      if (asset.file.filename() != photo.file) continue;
      auto image = lumora::LMImage::initWithAsset(&asset);
      ASSERT_TRUE(image && !image->error) << photo.file;
      image->serverGroupID = album;
      image->creationDate = platform::Clock::TimePoint(std::chrono::seconds(kUprightDay + taken));
      bool stored = false;
      lumora::LMImageSyncAdapter::sharedAdapter()->uploadImage(
          *image, [&](const lumora::LMImage&) { stored = true; },
          [](const platform::Error& error) { ADD_FAILURE() << error.description(); });
      ASSERT_TRUE(stored) << photo.file;
      return;
    }
    FAIL() << photo.file << " is not in the library";
  }

  E2EHarness harness_;
};

TEST_F(CloudPhotosUprightE2ETest, EveryOrientationIsUprightOnTheAlbumListTheGridAndTheBrowser) {
  const std::vector<UprightPhoto> photos = uprightPhotos();
  const std::size_t n = photos.size();
  // Album k holds photos k-2, k-1 and k, the last the newest: photo k is its
  // cover, k-1 and k-2 stacked behind it.
  auto& records = harness_.cloud().gallery().records();
  ASSERT_TRUE(records.ensureUser(kUprightUser));
  std::map<std::string, std::size_t> albumOf;
  for (std::size_t k = 0; k < n; ++k) {
    const std::string name = "Album " + photos[k].file;
    const std::int64_t album = records.createAlbum(kUprightUser, name, "album-" + std::to_string(k)).album.id;
    ASSERT_GT(album, 0);
    albumOf[name] = k;
    for (std::size_t back : {2u, 1u, 0u}) {
      const std::size_t index = (k + n - back) % n;
      backUp(photos[index], album, static_cast<std::int64_t>(index));
      if (HasFatalFailure()) return;
    }
  }

  // "My Cloud Albums" from the gallery tab's menu.
  lumora::registerAppScenes();
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(
      lumora::LMStoryboard::instantiateInitialViewController());
  ASSERT_TRUE(navigation);
  harness_.showScreen(navigation);
  harness_.answerAlerts(ui::localizedString("取消"));
  harness_.settle(1);
  auto app = std::dynamic_pointer_cast<lumora::LMBaseRootViewController>(navigation->rootViewController());
  ASSERT_TRUE(app);
  harness_.click(*app->tabView()->rightButton());
  ASSERT_TRUE(harness_.runUntil([&] { return !app->tabView()->isSelectLeftTab(); }));
  harness_.click(*app->menuButton());
  ASSERT_TRUE(harness_.clickButton(ui::localizedString("查看我的云相册")));
  std::shared_ptr<ui::NavigationController> albums;
  std::shared_ptr<LMGalleryAlbumCollectionViewController> grid;
  ASSERT_TRUE(harness_.waitFor([&] {
    albums = std::dynamic_pointer_cast<ui::NavigationController>(navigation->presentedViewController());
    grid = albums ? std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(albums->topViewController())
                  : nullptr;
    return grid && grid->collectionView()->numberOfItemsInSection(0) == static_cast<int>(n + 2);
  }));
  auto& view = *grid->collectionView();

  // The album cells on screen, by album name.
  auto shownCells = [&] {
    view.layoutIfNeeded();  // the cells of where it is scrolled to now
    std::map<std::string, std::shared_ptr<LMAlbumCollectionViewCell>> cells;
    for (const auto& path : view.indexPathsForVisibleItems()) {
      auto cell = std::dynamic_pointer_cast<LMAlbumCollectionViewCell>(view.cellForItemAtIndexPath(path));
      if (cell && albumOf.count(cell->nameLabel()->text())) cells[cell->nameLabel()->text()] = cell;
    }
    return cells;
  };
  auto loaded = [](const LMAlbumCollectionViewCell& cell) {
    return cell.imageView()->image() && cell.backgroundImageView1()->image() &&
           cell.backgroundImageView2()->image();
  };
  // Every album, scrolled to by dragging the list up.
  std::set<std::string> seen;
  for (int page = 0; page < 8 && seen.size() < n; ++page) {
    if (page > 0) harness_.drag({187, 560}, {187, 260}, 12);
    harness_.settle(2);  // the scroll and the fades come to rest
    ASSERT_TRUE(harness_.waitFor([&] {
      auto cells = shownCells();
      return !cells.empty() && std::all_of(cells.begin(), cells.end(), [&](const auto& each) {
        return loaded(*each.second);
      });
    }));
    const QImage shot = harness_.screenshot("cloud-albums-upright-" + std::to_string(page));
    for (const auto& [name, cell] : shownCells()) {
      const std::size_t k = albumOf[name];
      SCOPED_TRACE(name);
      EXPECT_EQ(shownQuadrants(*cell->imageView()), photos[k].upright) << "the cover";
      EXPECT_EQ(shownQuadrants(*cell->backgroundImageView1()), photos[(k + n - 1) % n].upright) << "behind it";
      EXPECT_EQ(shownQuadrants(*cell->backgroundImageView2()), photos[(k + n - 2) % n].upright) << "at the back";
      // Wholly on screen: the cover as painted.
      const ui::Point top = cell->imageView()->convertPointToView({0, 0}, nullptr);
      if (top.y >= 64 && top.y + cell->imageView()->bounds().height <= ui::Screen::main().bounds().height) {
        EXPECT_EQ(paintedQuadrants(shot, *cell->imageView()), photos[k].upright) << "the cover as painted";
      }
      seen.insert(name);
    }
  }
  EXPECT_EQ(seen.size(), n);

  // In selection, after a long press on an album wholly on screen.
  std::string chosen;
  for (const auto& [name, cell] : shownCells()) {
    const ui::Point top = cell->imageView()->convertPointToView({0, 0}, nullptr);
    if (top.y >= 64 && top.y + cell->imageView()->bounds().height <= 600) chosen = name;
  }
  ASSERT_FALSE(chosen.empty());
  harness_.longPress(E2EHarness::centre(*shownCells()[chosen]->button()));
  ASSERT_TRUE(grid->isBeginSelectAlbums());
  // Its cell is drawn again, marked.
  std::shared_ptr<LMAlbumCollectionViewCell> selected;
  ASSERT_TRUE(harness_.waitFor([&] {
    selected = shownCells()[chosen];
    return selected && !selected->selectImageView()->isHidden() && loaded(*selected);
  }));
  harness_.settle(1);
  EXPECT_EQ(paintedQuadrants(harness_.screenshot("cloud-albums-upright-selected"), *selected->imageView()),
            photos[albumOf[chosen]].upright);
  harness_.clickBarItem(*albums, true);  // "取消"
  ASSERT_FALSE(grid->isBeginSelectAlbums());

  // The album of the HEIC with no turn of its own, by a click: the HEIC, a
  // JPEG stored on its side and a mirrored one, in its grid and browser.
  // Back to the top of the list, then down page by page until it is there.
  for (int page = 0; page < 6; ++page) harness_.drag({187, 260}, {187, 560}, 12);
  harness_.settle(1);
  std::shared_ptr<LMAlbumCollectionViewCell> heicAlbum;
  for (int page = 0; page < 8; ++page) {
    auto cells = shownCells();
    if (cells.count("Album PLAIN.HEIC") && E2EHarness::reachable(*cells["Album PLAIN.HEIC"]->button())) {
      heicAlbum = cells["Album PLAIN.HEIC"];
      break;
    }
    harness_.drag({187, 460}, {187, 300}, 12);
    harness_.settle(1);
  }
  ASSERT_TRUE(heicAlbum);
  harness_.click(*heicAlbum->button());
  std::shared_ptr<LMGalleryPhotoCollectionViewController> photoGrid;
  ASSERT_TRUE(harness_.waitFor([&] {
    photoGrid = std::dynamic_pointer_cast<LMGalleryPhotoCollectionViewController>(albums->topViewController());
    return photoGrid && photoGrid->collectionView()->numberOfItemsInSection(0) == 3;
  }));
  // Newest taken first: PLAIN.HEIC, O8.JPG, O7.JPG.
  const std::vector<const UprightPhoto*> inGrid = {&photos[8], &photos[7], &photos[6]};
  auto photoCell = [&](int row) {
    return std::dynamic_pointer_cast<lumora::LMPhotoCollectionViewCell>(
        photoGrid->collectionView()->cellForItemAtIndexPath({0, row}));
  };
  for (int row = 0; row < 3; ++row) {
    std::shared_ptr<lumora::LMPhotoCollectionViewCell> cell;
    ASSERT_TRUE(harness_.waitFor([&] {
      cell = photoCell(row);
      return cell && cell->imageView()->image() && cell->imageView()->alpha() == 1;
    }));
    EXPECT_EQ(shownQuadrants(*cell->imageView()), inGrid[row]->upright) << inGrid[row]->file << " in the grid";
  }
  harness_.settle(0.5);
  const QImage gridShot = harness_.screenshot("cloud-photos-upright-grid");
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(paintedQuadrants(gridShot, *photoCell(row)->imageView()), inGrid[row]->upright)
        << inGrid[row]->file << " as painted in the grid";
  }

  harness_.click(*photoCell(0));
  auto browser = photoGrid->photoBrowser();
  ASSERT_TRUE(browser);
  for (std::size_t index = 0; index < 3; ++index) {
    const auto page = swipedToPage(harness_, *browser, index);
    ASSERT_TRUE(page) << "page " << index << " after a swipe";
    // The large picture, once the cloud named it and it came.
    ASSERT_TRUE(harness_.waitFor([&] {
      const auto& photo = page->photo();
      if (!page->imageView()->image() || !photo || !photo->isImageValidate()) return false;
      auto large = lumora::LMCloudPhotoImage::cachedImage(*photo->imageUrl(), photo->getImageObjectOrientation());
      return large && large->identity() == page->imageView()->image()->identity();
    }));
    harness_.settle(0.5);
    EXPECT_EQ(shownQuadrants(*page->imageView()), inGrid[index]->upright) << inGrid[index]->file << " in the browser";
  }
  harness_.click(*browser->navigationBar()->leftItem());
  ASSERT_TRUE(harness_.waitFor([&] { return !photoGrid->photoBrowser(); }));
}

}  // namespace
}  // namespace e2e
