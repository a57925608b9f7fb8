// The cloud photo screens as the renderer paints them: the album grid's
// cells and lines, the browser's bars, and a photo stored on its side drawn
// upright. Each is also written to render-<name>.png to look at.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <chrono>
#include <cmath>
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/http/TestServer.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/WebImageManager.h"
#include "platform/ui/Window.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "render/GivenPhotosBrowser.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryPhotoBrowseViewController.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "screens/gallery/LMPhotoCollectionViewCell.h"
#include "screens/gallery/LMPhotoView.h"
#include "screens/gallery/LMThumbnailImageView.h"
#include "render/TextFit.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace ui = platform::ui;

namespace lumora {
namespace {

class GalleryRenderTest : public ::testing::Test {
 protected:
  GalleryRenderTest() {
    platform::uiqt::ensureGuiApplication();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    LMGalleryStoreStack::setShared(nullptr);
    context_ = LMGalleryStoreStack::shared()->managedObjectContext();
    // Thumbnail addresses are refused at once: the cells keep their grey.
    LMThumbnailImageView::Transport refused;
    refused.make = [](std::int64_t, ui::Size) -> platform::Result<platform::http::Request> {
      return platform::Error("test", -1, nullptr);
    };
    LMThumbnailImageView::setTransportForTesting(refused);
    window_->setRootViewController(std::make_shared<ui::ViewController>());
    window_->makeKeyAndVisible();
  }
  ~GalleryRenderTest() override {
    ui::WebImageManager::sharedManager().imageCache().clearMemory();
    LMThumbnailImageView::setTransportForTesting(std::nullopt);
    LMGalleryStoreStack::setShared(nullptr);
    ui::TextMeasurer::setCurrent(nullptr);
    ui::Screen::main().resetForTesting();
  }
  std::shared_ptr<LMImageObject> photo(std::int64_t id, const std::optional<std::string>& url = std::nullopt,
                                       const std::optional<std::string>& exif = std::nullopt) {
    auto image = std::static_pointer_cast<LMImageObject>(
        context_->insertNewObjectForEntityForName(LMImageObject::kEntityName));
    image->setServerID(id);
    image->setType(std::string("ALAssetTypePhoto"));
    image->setCreateDate(platform::Clock::TimePoint(std::chrono::seconds(1000 - id)));
    image->setImageUrl(url);
    image->setExifInfo(exif);
    return image;
  }
  // A photo grid over album 9 holding `photos`, on the whole screen.
  std::shared_ptr<LMGalleryPhotoCollectionViewController> openGrid(
      const std::vector<std::shared_ptr<LMImageObject>>& photos) {
    auto album = std::static_pointer_cast<LMAlbumObject>(
        context_->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
    album->setServerID(9);
    for (const auto& image : photos) image->setAlbum(album);
    EXPECT_TRUE(context_->save());
    auto grid = std::make_shared<LMGalleryPhotoCollectionViewController>();
    grid->setAlbumObject(album);
    window_->addSubview(grid->view());
    grid->collectionView()->setFrame(ui::Screen::main().bounds());
    grid->collectionView()->reloadData();
    return grid;
  }
  std::shared_ptr<GivenPhotosBrowser> openBrowser(std::vector<std::shared_ptr<LMImageObject>> photos) {
    auto browser = std::make_shared<GivenPhotosBrowser>();
    browser->photos = std::move(photos);
    browser->show();
    browser->setCurrentPhotoIndex(0);
    window_->layoutIfNeeded();
    return browser;
  }
  QImage render(const char* name) {
    clock_->advance(platform::seconds(1));
    platform::MainQueue::main().runUntilIdle();
    window_->layoutIfNeeded();
    QImage image = renderer_.renderScreen();
    image.save(QString("render-%1.png").arg(name));
    for (const auto& window : ui::Screen::main().windows()) {
      for (const auto& misfit : testsupport::textMisfits(*window)) ADD_FAILURE() << name << ": " << misfit;
    }
    return image;
  }
  static QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(std::floor(x * 2)), static_cast<int>(std::floor(y * 2)));
  }
  static void expectNear(const QColor& got, int r, int g, int b, const std::string& what) {
    EXPECT_NEAR(got.red(), r, 3) << what;
    EXPECT_NEAR(got.green(), g, 3) << what;
    EXPECT_NEAR(got.blue(), b, 3) << what;
  }

  testsupport::TestHome home_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped_{clock_};
  std::shared_ptr<platform::objectstore::ManagedObjectContext> context_;
  platform::uiqt::Renderer renderer_;
  std::shared_ptr<ui::Window> window_ = std::make_shared<ui::Window>(ui::Screen::main().bounds());
};

TEST_F(GalleryRenderTest, GridCellsAndLinesThenTheBrowsersBars) {
  std::vector<std::shared_ptr<LMImageObject>> photos;
  for (int i = 0; i < 12; ++i) photos.push_back(photo(100 + i));
  auto grid = openGrid(photos);
  auto& view = *grid->collectionView();
  QImage cells = render("gallery-grid");
  const ui::Rect first = view.frameForItemAtIndexPath({0, 0});
  const ui::Rect below = view.frameForItemAtIndexPath({0, 4});
  EXPECT_EQ(first.size(), (ui::Size{91, 91}));
  EXPECT_EQ(below.y - first.maxY(), 4);
  // The columns spread to both edges with even gaps between them.
  EXPECT_EQ(view.frameForItemAtIndexPath({0, 3}).maxX(), 375);
  EXPECT_NEAR(view.frameForItemAtIndexPath({0, 1}).x - first.maxX(), 11.0 / 3, 1e-9);
  const double top = -view.contentOffset().y;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column) {
      const ui::Rect item = view.frameForItemAtIndexPath({0, row * 4 + column});
      expectNear(at(cells, item.midX(), top + item.midY()), 0x89, 0x89, 0x89, "cell");
      expectNear(at(cells, item.x + 0.5, top + item.maxY() - 0.5), 0x89, 0x89, 0x89, "cell's corner");
      expectNear(at(cells, item.midX(), top + item.maxY() + 2), 0xef, 0xef, 0xf4, "line below the cell");
      if (column < 3) expectNear(at(cells, item.maxX() + 1.8, top + item.midY()), 0xef, 0xef, 0xf4, "gap");
    }
  }
  grid->view()->removeFromSuperview();

  // The browser over black: the bar "d0ffffff" gives 208, 64 high; the
  // toolbar 345 x 55 sits 14 above the bottom with its divider in the middle.
  auto browser = openBrowser({photo(200)});
  QImage bars = render("gallery-browser");
  expectNear(at(bars, 30, 30), 208, 208, 208, "top bar");
  expectNear(at(bars, 30, 65), 0, 0, 0, "below the bar");
  EXPECT_EQ(browser->toolBar()->frame(), (ui::Rect{15, 667 - 69, 345, 55}));
  expectNear(at(bars, 187.6, 667 - 69 + 27), 0x89, 0x92, 0x9c, "toolbar divider");
  for (double y : {667.0 - 69 - 1, 667.0 - 14 + 1}) expectNear(at(bars, 187.6, y), 0, 0, 0, "outside the toolbar");
}

TEST_F(GalleryRenderTest, AlbumGridItemsInsetsAndTheLiftedToolbar) {
  for (std::int64_t id : {11, 12, 13}) {
    auto album = std::static_pointer_cast<LMAlbumObject>(
        context_->insertNewObjectForEntityForName(LMAlbumObject::kEntityName));
    album->setServerID(id);
    album->setName("Album " + std::to_string(id));
    album->setLastUpdateDate(platform::Clock::TimePoint(std::chrono::seconds(id)));
  }
  ASSERT_TRUE(context_->save());
  auto navigation = std::dynamic_pointer_cast<ui::NavigationController>(LMGalleryAlbumCollectionViewController::instantiateScene());
  auto grid = std::dynamic_pointer_cast<LMGalleryAlbumCollectionViewController>(navigation->topViewController());
  window_->setFrame(ui::Screen::main().bounds());
  window_->setRootViewController(navigation);
  window_->layoutIfNeeded();
  grid->collectionView()->reloadData();
  grid->albumButtonLongPressed(0);
  QImage screen = render("album-grid");

  // Under the 64-point bar: items 130 x 182 at insets 10 / 36, 22 apart.
  auto& view = *grid->collectionView();
  const ui::Rect first = view.frameForItemAtIndexPath({0, 0});
  const ui::Rect below = view.frameForItemAtIndexPath({0, 2});
  EXPECT_EQ(first, (ui::Rect{36, 10, 130, 182}));
  EXPECT_EQ(view.frameForItemAtIndexPath({0, 1}).maxX(), 375 - 36);
  EXPECT_EQ(below.y - first.maxY(), 22);
  const double top = 64;
  expectNear(at(screen, first.midX(), top + first.y + 24 + 65), 0x89, 0x89, 0x89, "cover");
  expectNear(at(screen, 18, top + first.midY()), 0xef, 0xef, 0xf4, "left inset");
  expectNear(at(screen, first.midX(), top + 5), 0xef, 0xef, 0xf4, "top inset");
  expectNear(at(screen, first.midX(), top + first.maxY() + 11), 0xef, 0xef, 0xf4, "line spacing");
  // Selecting lifted the toolbar to H - 69 over the grid.
  const double H = grid->view()->bounds().height;
  EXPECT_EQ(grid->toolBar()->frame(), (ui::Rect{15, H - 69, 345, 55}));
  expectNear(at(screen, 187.6, top + H - 69 + 27), 0x89, 0x92, 0x9c, "toolbar divider");
  expectNear(at(screen, 187.6, top + H - 69 - 2), 0xef, 0xef, 0xf4, "above the toolbar");
}

TEST_F(GalleryRenderTest, APixelBombThumbnailStaysGreyAndTheOthersComeAtTheCellsSize) {
  // A thumbnail address that answers 60000 x 60000 pixels, and one that
  // answers a picture ten times larger than its cell.
  if (testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "decoding tens of megapixels takes minutes under the sanitizer";
  }
  testhttp::TestServer server;
  server->Get("/bomb.png", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(platform::toString(testsupport::makePixelBombPng(60000, 60000)), "image/png");
  });
  server->Get("/large.jpg", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(platform::toString(testsupport::makeJpeg(1820, 1820)), "image/jpeg");
  });
  server.start();
  const std::vector<std::string> addresses = {server.url("/bomb.png"), server.url("/large.jpg")};
  std::vector<std::shared_ptr<LMImageObject>> photos;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    photos.push_back(photo(static_cast<std::int64_t>(400 + i)));
    photos.back()->setThumbnailUrl(addresses[i]);
  }
  auto grid = openGrid(photos);
  auto& view = *grid->collectionView();
  window_->layoutIfNeeded();
  auto cellAt = [&](int row) {
    return std::static_pointer_cast<LMPhotoCollectionViewCell>(view.cellForItemAtIndexPath({0, row}));
  };
  ASSERT_TRUE(cellAt(0) && cellAt(1));
  auto& manager = ui::WebImageManager::sharedManager();
  ASSERT_TRUE(platform::MainQueue::main().runUntil(
      [&] { return manager.isFailedURL(addresses[0]) && cellAt(1)->imageView()->image().has_value(); },
      testsupport::scaled(std::chrono::seconds(20))));
  // Refused before anything of it was decoded: nothing for the painter.
  ASSERT_FALSE(cellAt(0)->imageView()->image().has_value());
  // Decoded off the main thread just large enough to cover its cell.
  const ui::Image shown = *cellAt(1)->imageView()->image();
  EXPECT_EQ(shown.pixelSize(), (ui::Size{182, 182}));
  QImage screen = render("gallery-pixel-bomb");
  const double top = -view.contentOffset().y;
  const ui::Rect bombed = view.frameForItemAtIndexPath({0, 0});
  const ui::Rect loaded = view.frameForItemAtIndexPath({0, 1});
  expectNear(at(screen, bombed.midX(), top + bombed.midY()), 0x89, 0x89, 0x89, "the refused cell");
  expectNear(at(screen, loaded.x + 10, top + loaded.midY()), 255, 0, 0, "the loaded cell's left");
  expectNear(at(screen, loaded.maxX() - 10, top + loaded.midY()), 0, 0, 255, "the loaded cell's right");
  grid->view()->removeFromSuperview();
  manager.resetFailedURLs();
}

TEST_F(GalleryRenderTest, PhotoStoredOnItsSideIsDrawnUpright) {
  // 80 x 40 stored, left half red, right half blue; orientation 6 turns it a
  // quarter clockwise: upright it stands 40 x 80, red above, blue below.
  testhttp::TestServer server;
  server->Get("/side.jpg", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(platform::toString(testsupport::makeJpeg(80, 40)), "image/jpeg");
  });
  server.start();
  auto browser = openBrowser({photo(300, server.url("/side.jpg"), std::string(R"({"orientation":6})"))});
  auto page = browser->visiblePages().front().second;
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return page->imageView()->image().has_value(); },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  QImage screen = render("gallery-exif6");
  const ui::Rect drawn = page->imageView()->frame();
  EXPECT_GT(drawn.height, drawn.width) << "the long side vertical";
  // The stored top-left corner (red) is now the top-right one.
  expectNear(at(screen, drawn.maxX() - 4, drawn.y + 80), 255, 0, 0, "top corner, below the bar");
  expectNear(at(screen, drawn.x + 4, drawn.maxY() - 4), 0, 0, 255, "bottom corner");
}

}  // namespace
}  // namespace lumora
