// The album photo grid scrolled over 5,000 photos whose thumbnails are all
// in the image cache's memory (182 x 182 pixels, the 91-point cells at 2x):
// one step moves the grid 48 points (down to the end, then back up), lays
// it out (cells reused and filled from the cache) and paints the screen at
// 2x with the kit's renderer. The reference paints the same visible
// thumbnails at the same places straight with QPainter from images decoded
// once. Goal: 8 ms or less a step, at most 2 times the reference, with
// memory bounded by the cells on screen: the counters give the cells alive
// and the pictures the renderer holds decoded.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "ContactsBenchSupport.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/ui/CollectionView.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/ViewController.h"
#include "platform/uiqt/QtGuiSupport.h"
#include "platform/uiqt/QtRenderer.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryPhotoCollectionViewController.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "support/TestMedia.h"

namespace ui = platform::ui;

namespace {

constexpr int kGridBenchPhotos = 5000;
constexpr double kGridBenchStep = 48;

std::string gridBenchURL(int photo) { return "http://127.0.0.1:9/thumbnail/" + std::to_string(photo) + ".jpg"; }

struct GridBenchScene {
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped{clock};
  std::shared_ptr<ui::Window> window;
  std::shared_ptr<lumora::LMGalleryPhotoCollectionViewController> grid;
  platform::Bytes thumbnail = testsupport::makeJpeg(182, 182);
  double offset = 0;
  double direction = 1;
  // Every cell the grid has shown, to count those still alive.
  std::map<const void*, std::weak_ptr<ui::CollectionViewCell>> cells;

  GridBenchScene() {
    platform::MainQueue::main().bindToCurrentThread();
    platform::uiqt::ensureGuiApplication();
    ui::TextMeasurer::setCurrent(std::make_shared<platform::uiqt::QtTextMeasurer>());
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    lumora::LMGalleryStoreStack::setShared(nullptr);

    // The album's photos, each with its thumbnail decoded in memory.
    auto& cache = ui::ImageCache::sharedImageCache();
    cache.setMaxMemoryCost(std::uint64_t{kGridBenchPhotos} * 182 * 182);
    auto context = lumora::LMGalleryStoreStack::shared()->managedObjectContext();
    auto album = std::static_pointer_cast<lumora::LMAlbumObject>(
        context->insertNewObjectForEntityForName(lumora::LMAlbumObject::kEntityName));
    album->setServerID(4);
    album->setName(std::string("Family"));
    for (int i = 0; i < kGridBenchPhotos; ++i) {
      auto image = std::static_pointer_cast<lumora::LMImageObject>(
          context->insertNewObjectForEntityForName(lumora::LMImageObject::kEntityName));
      image->setServerID(i + 1);
      image->setType(std::string("ALAssetTypeImage"));
      image->setCreateDate(platform::Clock::TimePoint(std::chrono::seconds(1500000000 - i)));
      image->setThumbnailUrl(gridBenchURL(i));
      image->setAlbum(album);
      auto bitmap = platform::Image::imageWithData(thumbnail);
      cache.storeImage(ui::Image::imageWithBitmap(*bitmap), std::nullopt, gridBenchURL(i), false);
    }
    (void)context->save();

    grid = std::make_shared<lumora::LMGalleryPhotoCollectionViewController>();
    grid->setAlbumObject(album);
    window = std::make_shared<ui::Window>(ui::Screen::main().bounds());
    window->setRootViewController(ui::NavigationController::withRoot(grid));
    window->makeKeyAndVisible();
    settle();
  }

  void settle() {
    window->layoutIfNeeded();
    platform::MainQueue::main().runUntilIdle();
    clock->advance(platform::seconds(1));
    platform::MainQueue::main().runUntilIdle();
  }
  // The next offset of the scroll: down to the end, then back up.
  double nextOffset() {
    auto& view = *grid->collectionView();
    const double end = view.contentSize().height - view.bounds().height;
    offset += direction * kGridBenchStep;
    if (offset > end || offset < 0) {
      direction = -direction;
      offset += 2 * direction * kGridBenchStep;
    }
    return offset;
  }
  // The visible items and where they are on the screen.
  std::vector<std::pair<int, ui::Rect>> visibleItems() {
    auto& view = *grid->collectionView();
    std::vector<std::pair<int, ui::Rect>> items;
    for (const auto& path : view.indexPathsForVisibleItems()) {
      const ui::Rect frame = view.frameForItemAtIndexPath(path);
      const ui::Point at = view.convertPointToView(frame.origin(), nullptr);
      items.emplace_back(path.row, ui::Rect{at.x, at.y, frame.width, frame.height});
    }
    return items;
  }
  void noteCells() {
    auto& view = *grid->collectionView();
    for (const auto& path : view.indexPathsForVisibleItems()) {
      auto cell = view.cellForItemAtIndexPath(path);
      if (cell) cells.emplace(cell.get(), cell);
    }
  }
  std::size_t liveCells() const {
    std::size_t alive = 0;
    for (const auto& [key, cell] : cells) alive += cell.expired() ? 0 : 1;
    return alive;
  }
};

GridBenchScene& gridBenchScene() {
  // The scene is never destroyed (its views outlive the GUI at exit); its
  // home goes at exit all the same.
  static contactsbench::ScratchHome home;
  static GridBenchScene* scene = new GridBenchScene();
  return *scene;
}

void BM_GalleryGridScroll(benchmark::State& state) {
  auto& scene = gridBenchScene();
  platform::uiqt::Renderer renderer;
  auto& view = *scene.grid->collectionView();
  for (auto _ : state) {
    view.setContentOffset({0, scene.nextOffset()});
    scene.window->layoutIfNeeded();
    platform::MainQueue::main().runUntilIdle();
    QImage frame = renderer.renderScreen();
    benchmark::DoNotOptimize(frame.constBits());
    state.PauseTiming();
    scene.noteCells();
    state.ResumeTiming();
  }
  state.counters["live_cells"] = static_cast<double>(scene.liveCells());
  state.counters["visible_cells"] = static_cast<double>(view.indexPathsForVisibleItems().size());
  state.counters["decoded_images"] = static_cast<double>(renderer.cachedImageCount());
}

void BM_GalleryGridScroll_Reference(benchmark::State& state) {
  auto& scene = gridBenchScene();
  // The thumbnail decoded once, as the renderer keeps it.
  QImage thumbnail;
  thumbnail.loadFromData(reinterpret_cast<const uchar*>(scene.thumbnail.data()),
                         static_cast<int>(scene.thumbnail.size()));
  thumbnail = thumbnail.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  if (thumbnail.isNull()) state.SkipWithError("Qt cannot decode the thumbnail");
  auto& view = *scene.grid->collectionView();
  const double scale = ui::Screen::main().scale();
  for (auto _ : state) {
    state.PauseTiming();
    view.setContentOffset({0, scene.nextOffset()});
    scene.window->layoutIfNeeded();
    platform::MainQueue::main().runUntilIdle();
    const auto items = scene.visibleItems();
    state.ResumeTiming();
    QImage frame(static_cast<int>(375 * scale), static_cast<int>(667 * scale), QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.scale(scale, scale);
    painter.fillRect(QRectF(0, 0, 375, 667), QColor(0xef, 0xef, 0xf4));
    for (const auto& [row, rect] : items) {
      (void)row;
      painter.drawImage(QRectF(rect.x, rect.y, rect.width, rect.height), thumbnail);
    }
    painter.fillRect(QRectF(0, 0, 375, 64), QColor(0xf8, 0xf8, 0xf8, 0xf0));
    painter.end();
    benchmark::DoNotOptimize(frame.constBits());
  }
}

}  // namespace

BENCHMARK(BM_GalleryGridScroll)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_GalleryGridScroll_Reference)->Unit(benchmark::kMillisecond)->MinTime(2.0);
