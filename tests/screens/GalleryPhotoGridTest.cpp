// The album photo grid over a stored album: item sizes, the video badge on
// reused cells, a refresh at every appearance, landscape without the
// status bar under a lower header, and the return to the album list when
// the browser has deleted every photo; the failed-photo grid with a damaged
// photo.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "cloud/sync/FakeGallery.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "platform/ui/Resources.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "support/TestHome.h"
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
                                                   std::chrono::seconds(10)));
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
                                                     std::chrono::seconds(10)));
  }

  grid->didDeleteAllPhotos();
  EXPECT_EQ(navigation->topViewController(), albums);

  // The refresh's writes are over before the next test.
  bool written = false;
  LMGalleryManager::sharedManager().deleteImageByImageID(-1, [&](const std::optional<platform::Error>&) {
    written = true;
  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return written; }, std::chrono::seconds(10)));
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

// A photo that failed because it is damaged has its cell in the failed-photo
// grid all the same, drawn as the grid draws a photo whose thumbnail cannot
// be made: without a picture, while the whole photo beside it shows its own.
TEST_F(GalleryPhotoGridTest, TheFailedPhotoGridDrawsADamagedPhotoWithoutAPicture) {
  namespace photos = platform::photos;
  platform::MainQueue::main().bindToCurrentThread();
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  testsupport::writeFile(photos::PhotoLibrary::folder() / "broken.jpg", platform::Bytes(100, 0x5a));
  testsupport::writeFile(photos::PhotoLibrary::folder() / "whole.jpg", testsupport::makeJpeg(40, 30));
  std::vector<LMImage> failed(2);
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) {
    failed[asset.file.filename() == "whole.jpg" ? 1 : 0].assetID = asset.localIdentifier;
  }
  ASSERT_TRUE(failed[0].assetID && failed[1].assetID);
  auto navigation =
      std::dynamic_pointer_cast<ui::NavigationController>(LMErrorPhotoCollectionViewController::instantiateScene());
  ASSERT_TRUE(navigation);
  auto grid = std::dynamic_pointer_cast<LMErrorPhotoCollectionViewController>(navigation->topViewController());
  ASSERT_TRUE(grid);
  grid->loadViewIfNeeded();
  grid->setErrorImages(failed);
  ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 2);
  // The library answers in turn: once the whole photo's thumbnail is in,
  // the damaged one's request has been answered too.
  auto cell = [&](int row) {
    return std::dynamic_pointer_cast<LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
  };
  auto damaged = cell(0);
  auto whole = cell(1);
  ASSERT_TRUE(damaged && whole);
  EXPECT_TRUE(platform::MainQueue::main().runUntil([&] { return whole->imageView->image().has_value(); },
                                                   std::chrono::seconds(10)));
  platform::MainQueue::main().runUntilIdle();
  EXPECT_FALSE(damaged->imageView->image().has_value());
}

}  // namespace
}  // namespace lumora
