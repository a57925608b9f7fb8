// The gallery cache against raw SQLite: refreshing a 10,000-image album
// (a full listing merged into an empty store, saved through the main
// context, with a fetched-results controller following the album) next to
// inserting the same rows in one transaction; and 100 changes (thumbnail
// addresses) to that album as the photo grid makes them.
#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <chrono>

#include "ContactsBenchSupport.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/FetchedResultsController.h"
#include "screens/common/LMCustomUtils.h"
#include "screens/gallery/LMGalleryManager.h"
#include "screens/gallery/LMGalleryStoreStack.h"

namespace {

using contactsbench::RawDatabase;
using contactsbench::ScratchHome;
using lumora::LMGalleryManager;
using lumora::LMGalleryStoreStack;
using lumora::LMImage;

constexpr std::int64_t kAlbum = 4;

std::vector<LMImage> albumImages(int count) {
  std::vector<LMImage> images;
  images.reserve(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) {
    LMImage image;
    image.serverID = i;
    image.status = "custom";
    image.sync = i;
    image.fileName = "IMG_" + std::to_string(i) + ".JPG";
    image.size = 2000000 + i;
    image.sha1 = std::string(40, 'a');
    image.type = "ALAssetTypeImage";
    image.exifInfo = platform::Json{{"orientation", 1}};
    image.creationDate = platform::Clock::TimePoint(std::chrono::seconds(1500000000 + i));
    images.push_back(std::move(image));
  }
  return images;
}

// A fresh store with the album, the main queue bound to this thread and a
// controller following the album's images.
struct GalleryBenchStore {
  GalleryBenchStore() {
    platform::MainQueue::main().bindToCurrentThread();
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(
        [](const std::filesystem::path&) { return std::optional<std::int64_t>(std::int64_t{1} << 40); });
    LMGalleryStoreStack::setShared(nullptr);
    lumora::LMAlbum album;
    album.serverID = kAlbum;
    album.status = 1;
    album.sync = 1;
    album.name = "Family";
    wait([&](std::function<void()> done) {
      manager.saveAlbumObjectsWithArray({album}, 1, "e", false, std::move(done));
    });
    controller = std::make_unique<platform::objectstore::FetchedResultsController>(
        platform::objectstore::FetchRequest{lumora::LMImageObject::kEntityName,
                                            platform::objectstore::Predicate::equal("album.serverID", kAlbum),
                                            {{"createDate", false}},
                                            0,
                                            {}},
        manager.managedObjectContext());
    (void)controller->performFetch();
  }
  ~GalleryBenchStore() {
    controller.reset();
    LMGalleryStoreStack::setShared(nullptr);
    lumora::LMCustomUtils::setFreeSpaceReaderForTesting(nullptr);
    platform::MainQueue::main().resetForTesting();
  }
  void wait(const std::function<void(std::function<void()> done)>& start) {
    bool finished = false;
    start([&] { finished = true; });
    platform::MainQueue::main().runUntil([&] { return finished; }, std::chrono::seconds(60));
  }

  ScratchHome home;
  LMGalleryManager& manager = LMGalleryManager::sharedManager();
  std::unique_ptr<platform::objectstore::FetchedResultsController> controller;
};

void BM_GalleryAlbumRefresh(benchmark::State& state) {
  const auto images = albumImages(static_cast<int>(state.range(0)));
  std::unique_ptr<GalleryBenchStore> store;  // not an optional, whose reset GCC 12 takes for a read of nothing
  for (auto _ : state) {
    state.PauseTiming();
    store.reset();
    store = std::make_unique<GalleryBenchStore>();
    state.ResumeTiming();
    store->wait([&](std::function<void()> done) {
      store->manager.saveAlbumImageObjects(images, kAlbum, 2, "e2", true, std::move(done));
    });
    if (store->controller->numberOfObjects() != images.size()) state.SkipWithError("the controller missed images");
  }
  store.reset();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GalleryAlbumRefresh)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GalleryAlbumRefresh_Reference(benchmark::State& state) {
  const auto images = albumImages(static_cast<int>(state.range(0)));
  std::optional<ScratchHome> home;
  std::optional<RawDatabase> raw;
  for (auto _ : state) {
    state.PauseTiming();
    raw.reset();
    home.reset();
    home.emplace();
    std::filesystem::create_directories(platform::AppHome::documents());
    raw.emplace(platform::AppHome::documents() / "raw.sqlite");
    RawDatabase& db = *raw;
    db.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    db.exec("CREATE TABLE images (id INTEGER PRIMARY KEY, createDate REAL, exifInfo TEXT, fileName TEXT, "
            "imageSize INTEGER, imageSync INTEGER, serverID INTEGER, sha1 TEXT, imageUrl TEXT, thumbnailUrl TEXT, "
            "type TEXT, album INTEGER)");
    state.ResumeTiming();
    db.exec("BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.get(), "INSERT INTO images VALUES (?, ?, ?, ?, ?, ?, ?, ?, NULL, NULL, ?, 1)", -1, &insert,
                       nullptr);
    for (const auto& image : images) {
      const std::string exif = image.exifInfo.dump(4);
      sqlite3_bind_int64(insert, 1, *image.serverID);
      sqlite3_bind_double(insert, 2, static_cast<double>(image.creationDate->time_since_epoch().count()));
      sqlite3_bind_text(insert, 3, exif.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, image.fileName->c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 5, *image.size);
      sqlite3_bind_int64(insert, 6, *image.sync);
      sqlite3_bind_int64(insert, 7, *image.serverID);
      sqlite3_bind_text(insert, 8, image.sha1->c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 9, image.type->c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    db.exec("COMMIT");
  }
  raw.reset();
  home.reset();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GalleryAlbumRefresh_Reference)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100 thumbnail addresses stored into a 10,000-image album while the
// controller follows it.
void BM_GalleryHundredChanges(benchmark::State& state) {
  GalleryBenchStore store;
  store.wait([&](std::function<void()> done) {
    store.manager.saveAlbumImageObjects(albumImages(10000), kAlbum, 2, "e2", true, std::move(done));
  });
  int round = 0;
  for (auto _ : state) {
    platform::Json urls = platform::Json::object();
    for (int i = 1; i <= state.range(0); ++i) {
      urls[std::to_string(i)] = {{"isUrl", true}, {"data", "http://127.0.0.1/t/" + std::to_string(round) + "/" + std::to_string(i)}};
    }
    ++round;
    store.manager.setImageThumbnailURLs(urls, false);
    // The next write's tail comes after this one's.
    store.wait([&](std::function<void()> done) {
      store.manager.deleteImageByImageID(-1, [done](const std::optional<platform::Error>&) { done(); });
    });
  }
}
BENCHMARK(BM_GalleryHundredChanges)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
