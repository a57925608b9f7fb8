// The album photo grid over a stored album: item sizes, the video badge on
// reused cells, a refresh at every appearance, landscape without the
// status bar under a lower header, and the return to the album list when
// the browser has deleted every photo; the failed-photo grid with photos it
// cannot draw, answers that come late, and more photos than the screen
// holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cloud/sync/FakeGallery.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/PictureDrawings.h"
#include "support/TestMedia.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class GalleryPhotoGridTest : public ::testing::Test {
 protected:
  GalleryPhotoGridTest() {
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    clock_->setAutoAdvanceSleeps(true);
    LMGalleryStoreStack::setShared(nullptr);
    // The album's refresh goes to a scripted gallery.
    LMGalleryManager::sharedManager().setAdapter(adapter_);
    registerGalleryScenes();
    // Thumbnail addresses are refused at once (nobody signed in).
    LMThumbnailImageView::Transport refused;
    refused.make = [](std::int64_t, ui::Size) -> platform::Result<platform::http::Request> {
      return platform::Error("test", -1, nullptr);
    };
    LMThumbnailImageView::setTransportForTesting(refused);
  }
  ~GalleryPhotoGridTest() override {
    ui::Screen::main().resetForTesting();
    LMGalleryStoreStack::setShared(nullptr);
    LMThumbnailImageView::setTransportForTesting(std::nullopt);
    LMGalleryManager::sharedManager().setAdapter(nullptr);
  }
  std::shared_ptr<LMAlbumObject> storeAlbum(int photos) {
    auto context = LMGalleryStoreStack::shared()->managedObjectContext();
    auto album = std::static_pointer_cast<LMAlbumObject>(
        context->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
    album->setServerID(9);
    album->setName(std::string("Trips"));
    for (int i = 0; i < photos; ++i) {
      auto image = std::static_pointer_cast<LMImageObject>(
          context->insertNewObjectForEntityForName(LMImageObject::kEntityName));
      image->setServerID(100 + i);
      image->setType(std::string(i == 1 ? "ALAssetTypeVideo" : "ALAssetTypePhoto"));
      image->setCreateDate(platform::Clock::TimePoint(std::chrono::seconds(1000 - i)));
      image->setAlbum(album);
    }
    EXPECT_TRUE(context->save());
    return album;
  }

  // `count` photos IMG_0000.JPG, IMG_0001.JPG, ... in the library, each
  // `jpeg` but the first (`first` when given), as assets in name order.
  static std::vector<platform::photos::Asset> photosInLibrary(int count, const platform::Bytes& jpeg,
                                                               const platform::Bytes* first = nullptr) {
    namespace photos = platform::photos;
    EXPECT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    const auto folder = photos::PhotoLibrary::folder();
    for (int i = 0; i < count; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "IMG_%04d.JPG", i);
      testsupport::writeFile(folder / name, i == 0 && first ? *first : jpeg);
    }
    auto assets = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image);
    EXPECT_EQ(assets.size(), static_cast<std::size_t>(count));
    std::sort(assets.begin(), assets.end(), [](const auto& a, const auto& b) { return a.file < b.file; });
    return assets;
  }
  // Pumps the main queue until no thumbnail is asked for and every tile
  // shown has its picture.
  static bool tilesSettled(ui::CollectionView& view) {
    return platform::MainQueue::main().runUntil(
        [&] {
          if (platform::photos::ImageManager::defaultManager().unfinishedRequestCount() != 0) return false;
          const auto shown = view.indexPathsForVisibleItems();
          return !shown.empty() && std::all_of(shown.begin(), shown.end(), [&](const ui::IndexPath& path) {
                   auto cell = std::dynamic_pointer_cast<LMErrorImageCollectionViewCell>(
                       view.cellForItemAtIndexPath(path));
                   return cell && cell->imageView->image().has_value();
                 });
        },
        testsupport::scaled(std::chrono::seconds(10)));
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<fakegallery::FakeGallery> gallery_ = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter_ = std::make_shared<fakegallery::Adapter>(gallery_);
};

TEST_F(GalleryPhotoGridTest, GridShowsTheAlbumRefreshesOnAppearingTurnsAndReturnsWhenEmptied) {
  auto album = storeAlbum(6);
  auto albums = std::make_shared<ui::ViewController>();
  auto navigation = ui::NavigationController::withRoot(albums);
  auto window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  auto grid = std::make_shared<LMGalleryPhotoCollectionViewController>();
  grid->setAlbumObject(album);
  navigation->pushViewController(grid, false);
  window->layoutIfNeeded();

  EXPECT_EQ(grid->navigationItem().title, "Trips");
  EXPECT_TRUE(grid->refreshHeader()->isRefreshing());
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return !grid->refreshHeader()->isRefreshing(); },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  auto& view = *grid->collectionView();
  view.reloadData();
  ASSERT_EQ(view.numberOfItemsInSection(0), 6);
  EXPECT_EQ(view.frameForItemAtIndexPath({0, 0}).size(), (ui::Size{91, 91}));
  // Four to a line; the last, shorter line keeps to the columns above.
  for (int row = 4; row < 6; ++row) {
    EXPECT_DOUBLE_EQ(view.frameForItemAtIndexPath({0, row}).x, view.frameForItemAtIndexPath({0, row - 4}).x) << row;
  }
  for (int pass = 0; pass < 2; ++pass) {  // the second pass reuses the cells
    view.reloadData();
    view.layoutIfNeeded();
    for (int row = 0; row < 6; ++row) {
      auto cell = std::dynamic_pointer_cast<LMPhotoCollectionViewCell>(view.cellForItemAtIndexPath({0, row}));
      ASSERT_NE(cell, nullptr);
      EXPECT_EQ(!cell->playView()->isHidden(), row == 1) << row;
      EXPECT_EQ(cell->button()->gestureRecognizers().size(), 2u) << "attached once per cell";
    }
  }

  // Each way the content rests just under the bar, the header hidden above it.
  EXPECT_TRUE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::LandscapeLeft));
  window->layoutIfNeeded();
  EXPECT_TRUE(ui::Screen::main().isStatusBarHidden());
  EXPECT_EQ(grid->refreshHeader()->originalEdgeInsets().top, 32);
  EXPECT_EQ(view.contentOffset().y, -32);
  EXPECT_TRUE(ui::Screen::main().rotateTo(ui::InterfaceOrientation::Portrait));
  window->layoutIfNeeded();
  EXPECT_FALSE(ui::Screen::main().isStatusBarHidden());
  EXPECT_EQ(grid->refreshHeader()->originalEdgeInsets().top, 64);
  EXPECT_EQ(view.contentOffset().y, -64);

  // The thumbnail requests the cells made are over before the test ends.
  for (int row = 0; row < 6; ++row) {
    auto cell = std::dynamic_pointer_cast<LMPhotoCollectionViewCell>(view.cellForItemAtIndexPath({0, row}));
    ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return cell->imageView()->enqueueTimes() == 0; },
                                                     testsupport::scaled(std::chrono::seconds(10))));
  }

  grid->didDeleteAllPhotos();
  EXPECT_EQ(navigation->topViewController(), albums);

  // The refresh's writes are over before the next test.
  bool written = false;
  LMGalleryManager::sharedManager().deleteImageByImageID(-1, [&](const std::optional<platform::Error>&) {
    written = true;
  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return written; },
                                                   testsupport::scaled(std::chrono::seconds(10))));
}

// The pull-down header tells when the album was last refreshed in the
// app's language: no Chinese left in the English words, and the time after
// them.
TEST_F(GalleryPhotoGridTest, HeaderTellsTheLastRefreshInTheAppsLanguage) {
  auto album = storeAlbum(0);
  album->setRefreshDate(clock_->now());
  for (const bool chinese : {false, true}) {
    platform::UserDefaults::standard().registerDefaults(
        {{platform::UserDefaults::kAppleLanguagesKey, platform::Json::array({chinese ? "zh-Hans" : "en"})}});
    ui::resetLocalizedStringsForTesting();
    auto grid = std::make_shared<LMGalleryPhotoCollectionViewController>();
    grid->setAlbumObject(album);
    grid->loadViewIfNeeded();
    const std::string text = grid->refreshHeader()->timeLabel()->text();
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    EXPECT_EQ(ascii, !chinese) << text;
    ASSERT_GE(text.size(), 8u);
    EXPECT_TRUE(text[text.size() - 6] == ':' && text[text.size() - 3] == ':') << "HH:mm:ss at the end: " << text;
  }
  ui::resetLocalizedStringsForTesting();
}

// The gallery's grids show their back arrow (the photo grid's and the
// failed-photo grid's items had no picture: there, but unseen).
TEST_F(GalleryPhotoGridTest, TheGridsShowTheirBackArrow) {
  auto top = [](const std::shared_ptr<ui::ViewController>& scene) {
    auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(scene);
    return navigation ? navigation->topViewController() : scene;
  };
  for (const auto& grid : {std::static_pointer_cast<ui::ViewController>(std::make_shared<LMGalleryPhotoCollectionViewController>()),
                           top(LMErrorPhotoCollectionViewController::instantiateScene()),
                           top(LMGalleryAlbumCollectionViewController::instantiateScene())}) {
    grid->loadViewIfNeeded();
    const auto& back = grid->navigationItem().leftBarButtonItem;
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->image.has_value()) << grid->view()->describeSelf();
  }
}

// Every failed photo has its tile in the failed-photo grid: one whose
// thumbnail cannot be made (a file that never was a picture, one gone from
// the library) shows the unavailable-photo mark, a whole one its picture.
// An answer that comes after its tile was reused for another photo leaves
// that tile alone, a failure as much as a picture.
TEST_F(GalleryPhotoGridTest, TheFailedPhotoGridMarksEachPhotoItCannotDrawAndOnlyThat) {
  namespace photos = platform::photos;
  platform::MainQueue::main().bindToCurrentThread();
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  const auto folder = photos::PhotoLibrary::folder();
  testsupport::writeFile(folder / "broken.jpg", platform::Bytes(100, 0x5a));
  testsupport::writeFile(folder / "whole.jpg", testsupport::makeJpeg(40, 30));
  testsupport::writeFile(folder / "gone.jpg", testsupport::makeJpeg(30, 40));
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  std::map<std::string, LMImage> byName;
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    byName[asset.file.filename().string()].assetID = asset.localIdentifier;
  }
  ASSERT_EQ(byName.size(), 3u);
  std::filesystem::remove(folder / "gone.jpg");
  auto navigation =
      std::dynamic_pointer_cast<ui::NavigationController>(LMErrorPhotoCollectionViewController::instantiateScene());
  ASSERT_TRUE(navigation);
  auto grid = std::dynamic_pointer_cast<LMErrorPhotoCollectionViewController>(navigation->topViewController());
  ASSERT_TRUE(grid);
  grid->loadViewIfNeeded();
  grid->setErrorImages({byName["broken.jpg"], byName["gone.jpg"], byName["whole.jpg"]});
  ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 3);
  auto cell = [&](int row) {
    return std::dynamic_pointer_cast<LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
  };
  auto& queue = platform::MainQueue::main();
  ASSERT_TRUE(queue.runUntil([&] { return cell(0)->showsUnavailable() && cell(2)->imageView->image().has_value(); },
                             testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_FALSE(cell(0)->imageView->image().has_value());
  EXPECT_TRUE(cell(1)->showsUnavailable()) << "gone from the library";
  EXPECT_FALSE(cell(2)->showsUnavailable());

  // An answer that comes after its tile was given another photo leaves
  // that tile alone, a failure as much as a picture: one whose drawing was
  // under way then (it cannot be taken back), and one already on its way
  // to the main queue.
  testsupport::writeFile(folder / "other.jpg", testsupport::makeJpeg(30, 40));
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    byName[asset.file.filename().string()].assetID = asset.localIdentifier;
  }
  auto& manager = photos::ImageManager::defaultManager();
  auto& cache = ui::ImageCache::sharedImageCache();
  const auto whole = cache.imageFromMemoryCache(*byName["whole.jpg"].assetID);
  ASSERT_TRUE(whole);
  for (const bool underWay : {true, false}) {
    for (const char* late : {"broken.jpg", "other.jpg"}) {
      SCOPED_TRACE(std::string(late) + (underWay ? ": drawing under way" : ": answer on its way"));
      const std::string lateID = *byName[late].assetID;
      testsupport::PictureDrawings drawings;
      if (underWay) drawings.hold(lateID);
      grid->setErrorImages({byName[late]});
      auto reused = cell(0);
      if (underWay) {
        ASSERT_TRUE(drawings.waitForDrawing(lateID));
      } else {
        // Answered, with the main queue not run since.
        const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(10));
        while (manager.unfinishedRequestCount() != 0 && std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
        ASSERT_EQ(manager.unfinishedRequestCount(), 0u);
      }
      grid->setErrorImages({byName["whole.jpg"]});
      ASSERT_EQ(cell(0), reused) << "the tile was not reused";
      drawings.release();
      ASSERT_TRUE(queue.runUntil([&] { return manager.unfinishedRequestCount() == 0; },
                                 testsupport::scaled(std::chrono::seconds(10))));
      queue.runUntilIdle();
      EXPECT_EQ(cell(0)->imageIdentifier, *byName["whole.jpg"].assetID);
      EXPECT_FALSE(cell(0)->showsUnavailable());
      ASSERT_TRUE(cell(0)->imageView->image().has_value());
      EXPECT_EQ(cell(0)->imageView->image()->identity(), whole->identity());
    }
  }
  // The thumbnail that came late is kept all the same.
  EXPECT_TRUE(cache.imageFromMemoryCache(*byName["other.jpg"].assetID));
}

// However many photos failed, the page draws only those near the screen
// (what it shows and half a screen above and below), each once, upright,
// at its tile's size in the screen's pixels. Tiles scrolled past before
// their turn are never drawn; coming back shows the drawn ones again
// without drawing them.
TEST_F(GalleryPhotoGridTest, TheFailedPhotoGridDrawsOnlyThePhotosNearTheScreenEachOnceAtItsTileSize) {
  namespace photos = platform::photos;
  platform::MainQueue::main().bindToCurrentThread();
  constexpr int kPhotos = 150;
  // The first stored on its side, as a camera held upright writes it.
  const platform::Bytes onItsSide = testsupport::makeQuadrantJpeg(120, 80, 6);
  const auto assets = photosInLibrary(kPhotos, testsupport::makeJpeg(64, 48), &onItsSide);
  ASSERT_EQ(assets.size(), static_cast<std::size_t>(kPhotos));
  std::vector<LMImage> failed(assets.size());
  std::map<std::string, int> rowOf;
  for (std::size_t row = 0; row < assets.size(); ++row) {
    failed[row].assetID = assets[row].localIdentifier;
    rowOf[assets[row].localIdentifier] = static_cast<int>(row);
  }

  testsupport::PictureDrawings drawings;
  auto& manager = photos::ImageManager::defaultManager();
  auto navigation =
      std::dynamic_pointer_cast<ui::NavigationController>(LMErrorPhotoCollectionViewController::instantiateScene());
  auto grid = std::dynamic_pointer_cast<LMErrorPhotoCollectionViewController>(navigation->topViewController());
  grid->loadViewIfNeeded();
  grid->setErrorImages(failed);
  auto view = grid->collectionView();
  const double tile = 100 * ui::Screen::main().scale();
  ASSERT_EQ(LMErrorPhotoCollectionViewController::thumbnailPixels(), tile);

  // The rows within half a screen above and below what is shown.
  auto nearRows = [&] {
    const ui::Rect shown = view->bounds();
    const ui::Rect reach{shown.x, shown.y - shown.height / 2, shown.width, shown.height * 2};
    std::set<int> rows;
    for (int row = 0; row < kPhotos; ++row) {
      if (view->frameForItemAtIndexPath({0, row}).intersects(reach)) rows.insert(row);
    }
    return rows;
  };
  auto drawnRows = [&] {
    std::set<int> rows;
    for (const auto& [identifier, count] : drawings.counts()) rows.insert(rowOf.at(identifier));
    return rows;
  };
  auto cell = [&](int row) {
    return std::dynamic_pointer_cast<LMErrorImageCollectionViewCell>(view->cellForItemAtIndexPath({0, row}));
  };
  auto settled = [&] { return tilesSettled(*view); };

  ASSERT_TRUE(settled());
  const std::set<int> first = nearRows();
  EXPECT_EQ(drawnRows(), first);
  EXPECT_LT(first.size(), 40u);
  for (const auto& drawing : drawings.all()) {
    EXPECT_EQ(std::make_pair(drawing.width, drawing.height), std::make_pair(static_cast<int>(tile), static_cast<int>(tile)));
  }
  // The photo stored on its side is upright in its tile, at the tile's size.
  const auto& upright = cell(0)->imageView->image()->bitmap();
  ASSERT_TRUE(upright);
  ASSERT_EQ(upright->width(), static_cast<int>(tile));
  const platform::Bytes pixels = upright->RGBARepresentation().value();
  auto channelsAt = [&](double x, double y) {
    const auto at = (static_cast<std::size_t>(y * tile) * static_cast<std::size_t>(tile) + static_cast<std::size_t>(x * tile)) * 4;
    return std::string{pixels[at] > 180 ? 'r' : '-', pixels[at + 1] > 180 ? 'g' : '-', pixels[at + 2] > 180 ? 'b' : '-'};
  };
  EXPECT_EQ(channelsAt(0.25, 0.25) + channelsAt(0.75, 0.25) + channelsAt(0.25, 0.75) + channelsAt(0.75, 0.75),
            "r---g---brgb");

  // Scrolled to the end and through everything between, while the library
  // answers nothing: the requests of the tiles passed by are dropped.
  manager.setRequestsHeld(true);
  const double end = view->contentSize().height - view->bounds().height;
  ASSERT_GT(end, 1000);
  for (double y = 0; y < end; y += 150) {
    view->setContentOffset({0, y});
    view->layoutIfNeeded();
  }
  view->setContentOffset({0, end});
  view->layoutIfNeeded();
  manager.setRequestsHeld(false);
  ASSERT_TRUE(settled());
  std::set<int> expected = first;
  for (int row : nearRows()) expected.insert(row);
  EXPECT_EQ(drawnRows(), expected);
  for (const auto& [identifier, count] : drawings.counts()) EXPECT_EQ(count, 1) << "row " << rowOf.at(identifier);

  // Back at the top: shown from the image cache, nothing drawn again.
  const auto before = drawings.all().size();
  view->setContentOffset({0, 0});
  view->layoutIfNeeded();
  ASSERT_TRUE(settled());
  EXPECT_EQ(drawings.all().size(), before);
}

// Scrolled through more photos than it keeps (at 3x, 177 tiles of 300 x
// 300 pixels), the page holds its share of the shared image cache to the
// thumbnails shown last, and takes them away when it goes.
TEST_F(GalleryPhotoGridTest, TheFailedPhotoGridKeepsItsThumbnailsBoundedAndTakesThemAwayWhenItGoes) {
  namespace photos = platform::photos;
  platform::MainQueue::main().bindToCurrentThread();
  ui::Screen::main().setProfile(*ui::DeviceProfile::named("414x736"));
  constexpr int kPhotos = 240;
  const auto assets = photosInLibrary(kPhotos, testsupport::makeJpeg(32, 24));
  ASSERT_EQ(assets.size(), static_cast<std::size_t>(kPhotos));
  std::vector<LMImage> failed(assets.size());
  for (std::size_t row = 0; row < assets.size(); ++row) failed[row].assetID = assets[row].localIdentifier;

  auto& cache = ui::ImageCache::sharedImageCache();
  auto navigation =
      std::dynamic_pointer_cast<ui::NavigationController>(LMErrorPhotoCollectionViewController::instantiateScene());
  auto grid = std::dynamic_pointer_cast<LMErrorPhotoCollectionViewController>(navigation->topViewController());
  grid->loadViewIfNeeded();
  grid->setErrorImages(failed);
  auto view = grid->collectionView();
  const double tile = LMErrorPhotoCollectionViewController::thumbnailPixels();
  ASSERT_EQ(tile, 300);
  const auto mostKept = static_cast<std::size_t>(LMErrorPhotoCollectionViewController::kKeptThumbnailPixels /
                                                 (tile * tile));
  auto cached = [&] {
    std::vector<int> rows;
    for (int row = 0; row < kPhotos; ++row) {
      if (cache.imageFromMemoryCache(assets[static_cast<std::size_t>(row)].localIdentifier)) rows.push_back(row);
    }
    return rows;
  };
  auto settled = [&] { return tilesSettled(*view); };
  ASSERT_TRUE(settled());
  const double end = view->contentSize().height - view->bounds().height;
  for (double y = 0; y < end; y += view->bounds().height / 2) {
    view->setContentOffset({0, y});
    view->layoutIfNeeded();
    ASSERT_TRUE(settled()) << y;
  }
  view->setContentOffset({0, end});
  view->layoutIfNeeded();
  ASSERT_TRUE(settled());
  const auto kept = cached();
  EXPECT_EQ(kept.size(), mostKept);
  // The last rows, those shown last, are the ones kept.
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back(), kPhotos - 1);
  EXPECT_EQ(kept.front(), kPhotos - static_cast<int>(mostKept));

  navigation.reset();
  grid.reset();
  view.reset();
  EXPECT_TRUE(cached().empty());
}

}  // namespace
}  // namespace lumora
