// Downloading a cloud album of 200 photos (512 KiB each) from the local
// cloud into an emptied photo library, as the album grid does it: the
// download button with the album selected, the photo list brought up to
// date, the free-space check, the progress panel fed from the adapter's
// reports on the main queue, the background task, and the success panel
// (BM_AlbumDownload); next to the image sync adapter's downloadAlbums
// alone over the same request (BM_AlbumDownload_Reference), in the same
// run. Both are timed in real time: the work runs on the adapter's
// threads while the benchmark's thread pumps the main queue. The goal is a
// ratio of 0.95 or more (the screen adds 5% or less). The library, the app
// home and the cloud's data lie under $TMPDIR (/tmp by default).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cloud/passport/QBPassportsManager.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/app/BackgroundTask.h"
#include "platform/device/Reachability.h"
#include "platform/device/ReachabilityMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/AppHome.h"
#include "platform/ui/Window.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/common/LMProgressHUD.h"
#include "screens/gallery/LMGalleryAlbumCollectionViewController.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryScenes.h"
#include "screens/gallery/LMGalleryStoreStack.h"
#include "server/CloudServer.h"
#include "support/TestMedia.h"
#include "utils/ServiceHosts.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
using platform::MainQueue;

constexpr int kPhotos = 200;
constexpr std::size_t kPhotoBytes = 512u << 10;
constexpr std::int64_t kUser = 9301;
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

// The local cloud holding the album (backed up once), the gallery cache
// listing it, and the adapter's request built from the cache.
struct AlbumSetup {
  fs::path root;
  std::unique_ptr<localcloud::CloudServer> server;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  std::int64_t albumID = 0;
  std::vector<lumora::LMAlbum> albums;
  std::map<std::int64_t, std::vector<lumora::LMImage>> albumImages;
  std::int64_t size = 0;

  AlbumSetup() {
    std::string pattern = (fs::temp_directory_path() / "lumora-album-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    platform::AppHome::setRoot(root / "home");
    clock->setAutoAdvanceSleeps(true);
    platform::Clock::setCurrent(clock);
    MainQueue::main().bindToCurrentThread();
    (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
    fillLibrary();
    startCloud();
    platform::Reachability::overrideStatus(platform::NetworkStatus::ReachableViaWiFi);
    platform::ReachabilityMonitor::sharedMonitor().startMonitoring();
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const fs::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    lumora::registerGalleryScenes();

    auto adapter = lumora::LMImageSyncAdapter::sharedAdapter();
    offMain([adapter] { adapter->backupAllImages(); });
    auto& manager = lumora::LMGalleryManager::sharedManager();
    offMain([&manager] {
      std::atomic<bool> listed{false};
      manager.requestAlbumObjectWithFinish([&](const std::optional<platform::Error>&) { listed = true; });
      while (!listed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::vector<std::int64_t> ids;
    auto context = manager.managedObjectContext();
    for (const auto& album : manager.getAllAlbums(context).value_or(std::vector<std::shared_ptr<lumora::LMAlbumObject>>{})) {
      ids.push_back(*album->serverID());
    }
    offMain([&manager, ids] { manager.requestAllImageObjectsWithAlbums(ids); });
    for (const auto& album : manager.getAllAlbums(context).value_or(std::vector<std::shared_ptr<lumora::LMAlbumObject>>{})) {
      const auto images = album->images();
      if (static_cast<int>(images.size()) != kPhotos) continue;
      albumID = *album->serverID();
      albums = {manager.albumByAlbumObject(*album)};
      auto& list = albumImages[albumID];
      for (const auto& image : images) {
        list.push_back(manager.imageByImageObject(*image));
        size += list.back().size.value_or(0);
      }
    }
    if (albums.empty()) {
      for (const auto& album : manager.getAllAlbums(context).value_or(std::vector<std::shared_ptr<lumora::LMAlbumObject>>{})) {
        std::cerr << "album " << album->serverID().value_or(-1) << " " << album->name().value_or("") << " "
                  << album->images().size() << "\n";
      }
      std::cerr << "the backed-up album is not in the gallery cache\n";
      std::abort();
    }
  }
  ~AlbumSetup() {
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    platform::Clock::setCurrent(nullptr);
    if (server) server->stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // Small real pictures, each padded after its end with bytes of its own.
  void fillLibrary() {
    const fs::path folder = photos::PhotoLibrary::folder();
    fs::create_directories(folder);
    std::uint32_t state = 2463534242u;
    for (int i = 0; i < kPhotos; ++i) {
      platform::Bytes photo = testsupport::makeJpeg(64 + i % 16, 48);
      const std::size_t picture = photo.size();
      photo.resize(kPhotoBytes);
      for (std::size_t at = picture; at < photo.size(); ++at) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        photo[at] = static_cast<std::uint8_t>(state);
      }
      testsupport::writeFile(folder / ("IMG_" + std::to_string(1000 + i) + ".JPG"), photo);
    }
  }

  void startCloud() {
    std::string error;
    server = localcloud::CloudServer::create(root / "cloud", &error);
    if (!server || !server->start(0, &error)) {
      std::cerr << "cannot start the local cloud: " << error << "\n";
      std::abort();
    }
    lumora::ServiceHosts::setAll(server->url());
    localcloud::LoginGrant grant;
    grant.userId = kUser;
    grant.serviceId = "lumora";
    grant.ssecurity = kKey;
    auto manager = lumora::QBPassportsManager::sharedManager();
    manager->setUserId(std::to_string(kUser));
    auto passport = manager->passportForSid("lumora", std::to_string(kUser));
    passport->setServiceToken(server->store().issueServiceToken(grant));
    passport->setSSecurity(kKey);
  }

  // Runs the main queue (moving the clock on to its timers when nothing
  // else is ready) until `done` holds.
  void pumpUntil(const std::function<bool()>& done) {
    auto& main = MainQueue::main();
    while (true) {
      main.runUntilIdle();
      if (done()) return;
      if (auto next = main.nextDueTime(); next && *next > clock->steadyNow()) {
        clock->advance(*next - clock->steadyNow());
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  }
  void offMain(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
    });
    pumpUntil([&] { return done.load(); });
    worker.join();
  }

  // The photos leave the phone: every download lands them anew.
  void emptyLibrary() {
    auto library = photos::PhotoLibrary::sharedPhotoLibrary();
    std::vector<std::string> ids;
    for (const auto& asset : library->fetchAssetsWithMediaType(photos::MediaType::Image)) ids.push_back(asset.localIdentifier);
    (void)library->performChangesAndWait([&](photos::ChangeRequests& changes) { changes.deleteAssets(ids); });
    MainQueue::main().runUntilIdle();
  }
  std::size_t libraryCount() {
    return photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image).size();
  }
};

AlbumSetup& albumSetup() {
  static AlbumSetup instance;
  return instance;
}

void BM_AlbumDownload(benchmark::State& state) {
  AlbumSetup& s = albumSetup();
  auto adapter = lumora::LMImageSyncAdapter::sharedAdapter();
  for (auto _ : state) {
    state.PauseTiming();
    s.emptyLibrary();
    auto navigation = std::dynamic_pointer_cast<platform::ui::NavigationController>(
        lumora::LMGalleryAlbumCollectionViewController::instantiateScene());
    auto grid = std::dynamic_pointer_cast<lumora::LMGalleryAlbumCollectionViewController>(navigation->topViewController());
    grid->loadViewIfNeeded();
    auto controller = grid->fetchedResultsController();
    for (std::size_t row = 0; row < controller->numberOfObjects(); ++row) {
      auto album = std::dynamic_pointer_cast<lumora::LMAlbumObject>(controller->objectAtIndex(row));
      if (album && album->serverID() == s.albumID) grid->albumButtonLongPressed(row);
    }
    auto& hud = lumora::LMProgressHUD::sharedHUD();
    state.ResumeTiming();
    grid->didPressGalleryToolBarButton(*grid->toolBar()->downloadButton(), lumora::LMGalleryToolBar::kDownloadIndex);
    s.pumpUntil([&] {
      return !adapter->isSyncing() && !hud.window() && platform::BackgroundTask::runningCount() == 0 &&
             adapter->taskOperationQueue().operationCount() == 0;
    });
    state.PauseTiming();
    if (s.libraryCount() != static_cast<std::size_t>(kPhotos)) state.SkipWithError("the album did not come down");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * s.size);
}
BENCHMARK(BM_AlbumDownload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_AlbumDownload_Reference(benchmark::State& state) {
  AlbumSetup& s = albumSetup();
  auto adapter = lumora::LMImageSyncAdapter::sharedAdapter();
  for (auto _ : state) {
    state.PauseTiming();
    s.emptyLibrary();
    state.ResumeTiming();
    std::vector<lumora::LMImage> failed;
    std::optional<platform::Error> error;
    s.offMain([&] {
      adapter->downloadAlbums(s.albums, s.albumImages, s.size, nullptr,
                              [&](const std::vector<lumora::LMImage>& f, const std::optional<platform::Error>& e) {
                                failed = f;
                                error = e;
                              });
    });
    state.PauseTiming();
    if (error || !failed.empty() || s.libraryCount() != static_cast<std::size_t>(kPhotos)) {
      state.SkipWithError("the album did not come down");
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * s.size);
}
BENCHMARK(BM_AlbumDownload_Reference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
