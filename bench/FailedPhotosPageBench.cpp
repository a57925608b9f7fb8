// The failed-photos page opened over N failed photos (20 to 5,000), each of
// them a photo in the library: 800 x 600 JPEGs, 12-megapixel JPEGs, and
// 12-megapixel HEICs as a phone's camera writes them (with a thumbnail of
// their own of 320 pixels), made here by libvips's and libheif's encoders
// (x265); one HEIC row holds no thumbnail of its own (decoded whole). Its
// time is the wall time from the page's opening until its first 12 tiles
// show their photos. The reference, in the same run, decodes those 12
// photos whole (three at a time, as the page draws), as drawing them from
// full-size pictures would begin.
//
// Counters: open_ms, the page's opening on the main thread; main_hold_ms,
// the longest the main thread was held (the opening, or one round of the
// answers it ran); rss_mb, the resident memory when the first tiles show;
// then the page is flung to its end without waiting (a screen at a time)
// and its last tiles awaited: end_tiles_ms, how long they took; peak_rss_mb,
// the most resident memory from the opening to then; drawn, the photos
// drawn in all (only those near where the page stopped) and redrawn, the
// drawings of a photo drawn already.
#include <benchmark/benchmark.h>

#include <libheif/heif.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <vips/vips8>

#include "ContactsBenchSupport.h"
#include "cloud/model/LMImage.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/ImageCache.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "screens/gallery/LMErrorPhotoCollectionViewController.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
namespace ui = platform::ui;
using Clock = std::chrono::steady_clock;

constexpr int kMaxPhotos = 5000;
constexpr int kFirstTiles = 12;

enum Kind { kJpeg800, kJpeg12MP, kHeic12MP, kHeicWhole12MP, kKinds };
constexpr const char* kKindNames[kKinds] = {"jpeg-800x600", "jpeg-12mp", "heic-12mp", "heic-12mp-no-thumbnail"};

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// Resident memory now, and at most since the last reset, in MiB.
double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  double pages = 0, resident = 0;
  statm >> pages >> resident;
  return mib(resident * static_cast<double>(sysconf(_SC_PAGESIZE)));
}
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }
double peakResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// A camera-like picture: fine grain over soft shapes, its left half reddish.
vips::VImage cameraPicture(int width, int height) {
  auto grain = [&](double mean) {
    return vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("sigma", 10.0)->set("mean", mean));
  };
  vips::VImage shapes = vips::VImage::perlin(width, height, vips::VImage::option()->set("cell_size", 256)) * 60;
  vips::VImage picture = grain(120).bandjoin(grain(128)).bandjoin(grain(100)) + shapes;
  vips::VImage left = vips::VImage::black(width / 2, height, vips::VImage::option()->set("bands", 3)) +
                      std::vector<double>{200, 40, 40};
  return picture.insert(left.cast(VIPS_FORMAT_UCHAR), 0, 0).cast(VIPS_FORMAT_UCHAR);
}

platform::Bytes jpegOf(int width, int height) {
  void* buffer = nullptr;
  std::size_t length = 0;
  cameraPicture(width, height).write_to_buffer(".jpg", &buffer, &length, vips::VImage::option()->set("Q", 90));
  platform::Bytes bytes(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return bytes;
}

bool heifOk(heif_error error) { return error.code == heif_error_Ok; }

// A HEIC as a phone writes it (HEVC by x265, at its fastest setting to keep
// the set-up short), with a thumbnail of its own whose longer side is
// `thumbnail` pixels, or none for 0.
platform::Bytes heicOf(int width, int height, int thumbnail) {
  vips::VImage picture = cameraPicture(width, height).copy_memory();
  heif_image* image = nullptr;
  if (!heifOk(heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image)) ||
      !heifOk(heif_image_add_plane(image, heif_channel_interleaved, width, height, 8))) {
    return {};
  }
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  std::size_t length = 0;
  void* pixels = picture.write_to_memory(&length);
  for (int y = 0; y < height; ++y) {
    std::memcpy(plane + static_cast<std::ptrdiff_t>(y) * stride,
                static_cast<std::uint8_t*>(pixels) + static_cast<std::size_t>(y) * width * 3,
                static_cast<std::size_t>(width) * 3);
  }
  g_free(pixels);
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  platform::Bytes bytes;
  heif_image_handle* handle = nullptr;
  if (heifOk(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder))) {
    heif_encoder_set_lossy_quality(encoder, 50);
    heif_encoder_set_parameter(encoder, "preset", "ultrafast");
    bool made = heifOk(heif_context_encode_image(context, image, encoder, nullptr, &handle));
    if (made && thumbnail > 0) {
      heif_image_handle* small = nullptr;
      made = heifOk(heif_context_encode_thumbnail(context, image, handle, encoder, nullptr, thumbnail, &small));
      if (small) heif_image_handle_release(small);
    }
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t size, void* out) {
      auto* into = static_cast<platform::Bytes*>(out);
      into->insert(into->end(), static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
      return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    if (made) (void)heif_context_write(context, &writer, &bytes);
    if (handle) heif_image_handle_release(handle);
    heif_encoder_release(encoder);
  }
  heif_context_free(context);
  heif_image_release(image);
  return bytes;
}

// The library: kMaxPhotos photos of each kind, each kind in a folder of its
// own, one file linked under every name.
struct Library {
  contactsbench::ScratchHome home;
  std::vector<photos::Asset> assets[kKinds];
  std::string error;

  Library() {
    if (vips_init("failed-photos-bench") != 0) std::abort();
    (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
    const platform::Bytes made[kKinds] = {jpegOf(800, 600), jpegOf(4000, 3000), heicOf(4000, 3000, 320),
                                          heicOf(4000, 3000, 0)};
    const char* extensions[kKinds] = {".JPG", ".JPG", ".HEIC", ".HEIC"};
    for (int kind = 0; kind < kKinds; ++kind) {
      if (made[kind].empty()) {
        error = std::string("cannot make the ") + kKindNames[kind] + " photo";
        return;
      }
      const fs::path folder = photos::PhotoLibrary::folder() / kKindNames[kind];
      fs::create_directories(folder);
      fs::path first;
      for (int i = 0; i < kMaxPhotos; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%05d%s", i, extensions[kind]);
        if (i == 0) {
          first = folder / name;
          std::ofstream(first, std::ios::binary)
              .write(reinterpret_cast<const char*>(made[kind].data()), static_cast<std::streamsize>(made[kind].size()));
        } else {
          fs::create_hard_link(first, folder / name);
        }
      }
    }
    for (auto& asset : photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
      for (int kind = 0; kind < kKinds; ++kind) {
        if (asset.file.parent_path().filename() == kKindNames[kind]) assets[kind].push_back(asset);
      }
    }
    for (auto& kind : assets) {
      std::sort(kind.begin(), kind.end(), [](const auto& a, const auto& b) { return a.file < b.file; });
      if (kind.size() != kMaxPhotos) error = "the library does not hold every photo";
    }
    malloc_trim(0);
  }
};

Library& library() {
  static Library* made = [] {
    platform::MainQueue::main().bindToCurrentThread();
    ui::Screen::main().setProfile(*ui::DeviceProfile::named("375x667"));
    return new Library();
  }();
  return *made;
}

// The photos drawn while it lives.
class Drawn {
 public:
  Drawn() {
    photos::ImageManager::defaultManager().setDrawingObserverForTesting(
        [state = state_](const photos::ImageManager::Drawing& drawing) {
          std::lock_guard lock(state->mutex);
          ++state->drawings;
          state->photos.insert(drawing.localIdentifier);
        });
  }
  ~Drawn() { photos::ImageManager::defaultManager().setDrawingObserverForTesting(nullptr); }
  std::size_t drawings() const {
    std::lock_guard lock(state_->mutex);
    return state_->drawings;
  }
  std::size_t photos() const {
    std::lock_guard lock(state_->mutex);
    return state_->photos.size();
  }

 private:
  struct State {
    std::mutex mutex;
    std::size_t drawings = 0;
    std::set<std::string> photos;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

struct Page {
  std::shared_ptr<ui::ViewController> scene;
  std::shared_ptr<lumora::LMErrorPhotoCollectionViewController> grid;

  explicit Page(const std::vector<photos::Asset>& assets, std::size_t count) {
    std::vector<lumora::LMImage> failed(count);
    for (std::size_t i = 0; i < count; ++i) failed[i].assetID = assets[i].localIdentifier;
    scene = lumora::LMErrorPhotoCollectionViewController::instantiateScene();
    grid = std::dynamic_pointer_cast<lumora::LMErrorPhotoCollectionViewController>(
        std::static_pointer_cast<ui::NavigationController>(scene)->topViewController());
    grid->loadViewIfNeeded();
    grid->setErrorImages(std::move(failed));
  }
  bool shows(int row) const {
    auto cell = std::dynamic_pointer_cast<lumora::LMErrorImageCollectionViewCell>(
        grid->collectionView()->cellForItemAtIndexPath({0, row}));
    return cell && cell->imageView->image().has_value();
  }
};

// Runs the main queue until `done`; the longest round of it, in ms.
template <class Done>
double pumpUntil(const Done& done) {
  double longest = 0;
  auto& queue = platform::MainQueue::main();
  while (!done()) {
    const auto start = Clock::now();
    if (queue.runUntilIdle() > 0) {
      longest = std::max(longest, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  return longest;
}

void BM_FailedPhotosPage(benchmark::State& state) {
  Library& photosOf = library();
  if (!photosOf.error.empty()) {
    state.SkipWithError(photosOf.error.c_str());
    return;
  }
  const auto kind = static_cast<Kind>(state.range(0));
  const auto count = static_cast<std::size_t>(state.range(1));
  state.SetLabel(kKindNames[kind]);
  double openMs = 0, holdMs = 0, rss = 0, peak = 0, endMs = 0, drawn = 0, redrawn = 0;
  for (auto _ : state) {
    ui::ImageCache::sharedImageCache().clearMemory();
    malloc_trim(0);
    resetPeakMemory();
    Drawn drawings;
    const auto start = Clock::now();
    {
      Page page(photosOf.assets[kind], count);
      openMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      const int first = static_cast<int>(std::min<std::size_t>(kFirstTiles, count));
      holdMs = std::max(openMs, pumpUntil([&] {
                          for (int row = 0; row < first; ++row) {
                            if (!page.shows(row)) return false;
                          }
                          return true;
                        }));
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
      rss = residentMiB();

      // Flung to the end a screen at a time, then its tiles awaited.
      auto& view = *page.grid->collectionView();
      const double end = std::max(0.0, view.contentSize().height - view.bounds().height);
      for (double y = 0; y < end; y += view.bounds().height) {
        const auto step = Clock::now();
        view.setContentOffset({0, y});
        view.layoutIfNeeded();
        platform::MainQueue::main().runUntilIdle();
        holdMs = std::max(holdMs, std::chrono::duration<double, std::milli>(Clock::now() - step).count());
      }
      view.setContentOffset({0, end});
      view.layoutIfNeeded();
      const auto flung = Clock::now();
      holdMs = std::max(holdMs, pumpUntil([&] {
                          const auto shown = view.indexPathsForVisibleItems();
                          return std::all_of(shown.begin(), shown.end(),
                                             [&](const ui::IndexPath& path) { return page.shows(path.row); });
                        }));
      endMs = std::chrono::duration<double, std::milli>(Clock::now() - flung).count();
      auto& manager = photos::ImageManager::defaultManager();
      pumpUntil([&] { return manager.unfinishedRequestCount() == 0; });
      peak = peakResidentMiB();
      drawn = static_cast<double>(drawings.photos());
      redrawn = static_cast<double>(drawings.drawings() - drawings.photos());
    }
    // The page gone, what it still asked for is let go.
    pumpUntil([] { return photos::ImageManager::defaultManager().unfinishedRequestCount() == 0; });
  }
  state.counters["open_ms"] = openMs;
  state.counters["main_hold_ms"] = holdMs;
  state.counters["rss_mb"] = rss;
  state.counters["end_tiles_ms"] = endMs;
  state.counters["peak_rss_mb"] = peak;
  state.counters["drawn"] = drawn;
  state.counters["redrawn"] = redrawn;
}

// The first 12 photos decoded whole, three at a time.
void BM_FailedPhotosPage_Reference(benchmark::State& state) {
  Library& photosOf = library();
  if (!photosOf.error.empty()) {
    state.SkipWithError(photosOf.error.c_str());
    return;
  }
  const auto kind = static_cast<Kind>(state.range(0));
  const auto count = static_cast<std::size_t>(state.range(1));
  state.SetLabel(kKindNames[kind]);
  const std::size_t first = std::min<std::size_t>(kFirstTiles, count);
  double peak = 0;
  for (auto _ : state) {
    malloc_trim(0);
    resetPeakMemory();
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (std::size_t lane = 0; lane < photos::ImageManager::kDrawingThreads; ++lane) {
      threads.emplace_back([&, lane] {
        for (std::size_t i = lane; i < first; i += photos::ImageManager::kDrawingThreads) {
          vips::VImage whole = vips::VImage::new_from_file(photosOf.assets[kind][i].file.c_str()).copy_memory();
          benchmark::DoNotOptimize(whole.width());
        }
      });
    }
    for (auto& thread : threads) thread.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    peak = peakResidentMiB();
  }
  state.counters["peak_rss_mb"] = peak;
}

// Every count for the JPEGs and the HEICs with thumbnails, five times; the
// 12-megapixel references (the same work at every count) and the HEICs
// decoded whole (seconds a photo, at the smallest count) once.
void everyCount(benchmark::internal::Benchmark* benchmark, std::initializer_list<int> kinds) {
  for (int kind : kinds) {
    for (int count : {20, 500, 2000, kMaxPhotos}) benchmark->Args({kind, count});
  }
}

}  // namespace

BENCHMARK(BM_FailedPhotosPage)
    ->Apply([](auto* b) { everyCount(b, {kJpeg800, kJpeg12MP, kHeic12MP}); })
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FailedPhotosPage)
    ->Args({kHeicWhole12MP, 20})
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FailedPhotosPage_Reference)
    ->Apply([](auto* b) { everyCount(b, {kJpeg800}); })
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FailedPhotosPage_Reference)
    ->Apply([](auto* b) {
      everyCount(b, {kJpeg12MP, kHeic12MP});
      b->Args({kHeicWhole12MP, 20});
    })
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);
