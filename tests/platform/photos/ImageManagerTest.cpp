// The image manager over the library's files: the bytes and exports it
// hands out, pictures drawn at a size, and what it tells of a file that
// cannot be drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/CachingImageManager.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/MainQueueChangeObserver.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryFixture.h"
#include "support/FileFault.h"
#include "support/PictureDrawings.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"

namespace {

using namespace platform;
using namespace platform::photos;
namespace fs = std::filesystem;
using ImageManagerTest = testsupport::PhotoLibraryFixture;

TEST_F(ImageManagerTest, HandsOutBytesAndExportsThatCanBeCancelled) {
  testsupport::writeFile(PhotoLibrary::folder() / "p.jpg", testsupport::makeJpeg(20, 10, {.orientation = 8}));
  testsupport::writeFile(PhotoLibrary::folder() / "v.mp4", testsupport::makeMovie(16, 16, 2, 3 * 1024 * 1024));
  auto photo = library->fetchAssetsWithMediaType(MediaType::Image).at(0);
  auto video = library->fetchAssetsWithMediaType(MediaType::Video).at(0);
  auto& manager = ImageManager::defaultManager();

  Semaphore done;
  std::optional<Bytes> data;
  ImageRequestInfo info;
  ImageOrientation orientation = ImageOrientation::Up;
  auto keep = [&](std::optional<Bytes> d, std::string, ImageOrientation o, const ImageRequestInfo& i) {
    data = std::move(d);
    orientation = o;
    info = i;
    done.signal();
  };
  manager.requestImageDataForAsset(photo, {}, keep);
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_EQ(data, testsupport::readFile(photo.file));
  EXPECT_EQ(info.fileURL, photo.file);
  EXPECT_EQ(orientation, ImageOrientation::Left);

  // Held, a request can be cancelled; it then answers cancelled, once.
  manager.setRequestsHeld(true);
  const auto id = manager.requestImageDataForAsset(photo, {}, keep);
  EXPECT_EQ(manager.pendingRequestCount(), 1u);
  manager.cancelImageRequest(id);
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  manager.setRequestsHeld(false);
  EXPECT_TRUE(info.cancelled);
  EXPECT_FALSE(data);
  // So can one that waits its turn behind another's answer: at once, not
  // when its turn comes.
  Semaphore answering, goOn;
  manager.requestImageDataForAsset(photo, {}, [&](std::optional<Bytes>, std::string, ImageOrientation,
                                                  const ImageRequestInfo&) {
    answering.signal();
    goOn.wait();
  });
  ASSERT_TRUE(answering.waitFor(testsupport::scaled(seconds(10))));
  manager.cancelImageRequest(manager.requestImageDataForAsset(photo, {}, keep));
  goOn.signal();
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_TRUE(info.cancelled);
  EXPECT_FALSE(data);
  manager.requestImageDataForAsset(video, {}, keep);
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_TRUE(info.error);

  std::shared_ptr<AssetExportSession> session;
  manager.requestExportSessionForVideo(video, {}, kAssetExportPresetHighestQuality,
                                       [&](std::shared_ptr<AssetExportSession> s, const ImageRequestInfo& i) {
                                         session = std::move(s);
                                         info = i;
                                         done.signal();
                                       });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  ASSERT_TRUE(session);
  EXPECT_EQ(session->sourceKind(), AssetSourceKind::Composition);
  ASSERT_TRUE(info.sandboxExtensionToken);
  EXPECT_TRUE(info.sandboxExtensionToken->ends_with("/v.mp4"));

  const fs::path out = home.root() / "out.mp4";
  session->setOutputURL(out);
  session->setOutputFileType(kFileTypeMPEG4);
  session->exportAsynchronously([&] { done.signal(); });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(30))));
  EXPECT_EQ(session->status(), ExportStatus::Completed);
  EXPECT_EQ(testsupport::readFile(out), testsupport::readFile(video.file));

  // A file already there is never written over; a cancelled export leaves none.
  auto again = std::make_shared<AssetExportSession>(AssetSourceKind::Composition, video.file, "");
  again->setOutputURL(out);
  again->setOutputFileType(kFileTypeMPEG4);
  again->exportAsynchronously([&] { done.signal(); });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(30))));
  EXPECT_EQ(again->status(), ExportStatus::Failed);
  auto cancelled = std::make_shared<AssetExportSession>(AssetSourceKind::Composition, video.file, "");
  cancelled->setOutputURL(home.root() / "cancelled.mp4");
  cancelled->setOutputFileType(kFileTypeMPEG4);
  cancelled->cancelExport();
  cancelled->exportAsynchronously([&] { done.signal(); });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(30))));
  EXPECT_EQ(cancelled->status(), ExportStatus::Cancelled);
  EXPECT_FALSE(fs::exists(home.root() / "cancelled.mp4"));
}

// A real movie cut, grown, or written over in place while the export
// copies it fails as changed while it was read, and leaves no copy (a copy
// of it would be of no one state of the movie: cut short, or part old,
// part new); exported again, the copy is the movie as it is now.
TEST_F(ImageManagerTest, AMovieThatChangesWhileItIsExportedFailsAsChangedAndLeavesNoCopy) {
  const Bytes movie = testsupport::readFile(testsupport::mediaSamplePath("movie.mov"));
  ASSERT_GT(movie.size(), 64u);
  const struct {
    const char* name;
    std::function<void(const fs::path&)> change;
  } cases[] = {
      {"cut.mov", [](const fs::path& file) { fs::resize_file(file, fs::file_size(file) / 2); }},
      {"grown.mov", [](const fs::path& file) { std::ofstream(file, std::ios::app | std::ios::binary) << "more"; }},
      {"written.mov",
       [](const fs::path& file) {
         std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(40) << "written over";
       }},
  };
  Semaphore done;
  auto exported = [&](const fs::path& source, const fs::path& out) {
    auto session = std::make_shared<AssetExportSession>(AssetSourceKind::Composition, source, "");
    session->setOutputURL(out);
    session->setOutputFileType(kFileTypeQuickTimeMovie);
    session->exportAsynchronously([&] { done.signal(); });
    EXPECT_TRUE(done.waitFor(testsupport::scaled(seconds(30))));
    return session;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path source = PhotoLibrary::folder() / c.name;
    const fs::path out = home.root() / c.name;
    testsupport::writeFile(source, movie);
    // In the library for a while: a write now changes its time.
    fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(24));
    {
      testsupport::FileFault changing(testsupport::FileFault::changedAt(source, FileAccess::Read, 1, c.change));
      const auto session = exported(source, out);
      EXPECT_EQ(session->status(), ExportStatus::Failed);
      const auto error = session->error();
      const auto failure = error ? assetFileFailureOf(*error) : std::nullopt;
      EXPECT_TRUE(failure && failure->kind == AssetFileFailure::Kind::Changed && failure->file == source)
          << (error ? error->description() : "no error");
      EXPECT_FALSE(fs::exists(fs::symlink_status(out)));
    }
    ASSERT_NE(testsupport::readFile(source), movie);
    EXPECT_EQ(exported(source, out)->status(), ExportStatus::Completed);
    EXPECT_EQ(testsupport::readFile(out), testsupport::readFile(source));
  }
}

TEST_F(ImageManagerTest, PicturesAtATargetSizeArePreparedAheadAndChangesReachTheMainQueue) {
  MainQueue::main().bindToCurrentThread();
  std::optional<Change> heard;
  auto observer = mainQueueChangeObserver([&](const Change& change) { heard = change; });
  library->registerChangeObserver(observer);
  testsupport::writeFile(PhotoLibrary::folder() / "wide.jpg", testsupport::makeJpeg(400, 200, {.orientation = 6}));
  const Asset photo = library->fetchAssetsWithMediaType(MediaType::Image).at(0);
  ASSERT_TRUE(MainQueue::main().runUntil([&] { return heard.has_value(); },
                                         testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(heard->insertedAssets, std::vector<std::string>{photo.localIdentifier});

  // Shown upright the photo is 200 x 400.
  struct Case {
    ImageContentMode mode;
    int width, height;
  };
  CachingImageManager caching;
  for (const Case& c : {Case{ImageContentMode::AspectFit, 50, 100}, Case{ImageContentMode::AspectFill, 100, 100}}) {
    Semaphore done;
    std::optional<Image> image;
    ImageManager::defaultManager().requestImageForAsset(photo, 100, 100, c.mode, {},
                                                        [&](std::optional<Image> got, const ImageRequestInfo&) {
                                                          image = std::move(got);
                                                          done.signal();
                                                        });
    ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), c.width);
    EXPECT_EQ(image->height(), c.height);
  }
  caching.startCachingImagesForAssets({photo}, 100, 100, ImageContentMode::AspectFill);
  // A request for the picture being prepared waits for that drawing: once
  // answered, the preparation is in.
  Semaphore done;
  std::optional<Image> image;
  caching.requestImageForAsset(photo, 100, 100, ImageContentMode::AspectFill, {},
                               [&](std::optional<Image>, const ImageRequestInfo&) { done.signal(); });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  ASSERT_EQ(caching.cachedImageCount(), 1u);
  // Answered from what was prepared, even with the file gone.
  fs::remove(photo.file);
  caching.requestImageForAsset(photo, 100, 100, ImageContentMode::AspectFill, {},
                               [&](std::optional<Image> got, const ImageRequestInfo&) {
                                 image = std::move(got);
                                 done.signal();
                               });
  ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_TRUE(image);
  caching.stopCachingImagesForAssets({photo}, 100, 100, ImageContentMode::AspectFill);
  EXPECT_EQ(caching.cachedImageCount(), 0u);
}

// Each photo is drawn once however often it is asked for while it is
// prepared or drawn, and never when nobody wants it any more: a request
// cancelled, or a preparation stopped, before its turn leaves the line at
// once (answered as cancelled, once), while a preparation that a request
// still waits for goes on for it.
TEST_F(ImageManagerTest, APhotoIsDrawnOnceForAllWhoAskAndNotAtAllWhenNobodyWantsItAnyMore) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) {
    testsupport::writeFile(PhotoLibrary::folder() / name, testsupport::makeJpeg(40, 30));
  }
  const auto photos = library->fetchAssetsWithMediaType(MediaType::Image);
  const Asset a = *named(photos, "a.jpg"), b = *named(photos, "b.jpg"), c = *named(photos, "c.jpg"),
              d = *named(photos, "d.jpg");
  testsupport::PictureDrawings drawings;
  auto& manager = ImageManager::defaultManager();
  CachingImageManager caching;
  constexpr auto kFill = ImageContentMode::AspectFill;

  manager.setRequestsHeld(true);
  caching.startCachingImagesForAssets({a, b}, 50, 50, kFill);
  std::mutex mutex;
  std::vector<std::pair<std::string, ImageRequestInfo>> answers;
  Semaphore answered;
  auto keep = [&](const std::string& name) {
    return [&, name](std::optional<Image> image, const ImageRequestInfo& info) {
      {
        std::lock_guard lock(mutex);
        answers.emplace_back(name + (image ? " drawn" : " none"), info);
      }
      answered.signal();
    };
  };
  caching.requestImageForAsset(a, 50, 50, kFill, {}, keep("a"));
  caching.requestImageForAsset(a, 50, 50, kFill, {}, keep("a"));
  caching.stopCachingImagesForAssets({a, b}, 50, 50, kFill);
  caching.cancelImageRequest(caching.requestImageForAsset(c, 50, 50, kFill, {}, keep("c")));
  const ImageRequestID waiting = manager.requestImageForAsset(d, 50, 50, kFill, {}, keep("d"));
  manager.cancelImageRequest(waiting);
  manager.cancelImageRequest(waiting);
  // a's drawing is all that is left in the line.
  EXPECT_EQ(manager.pendingRequestCount(), 1u);
  manager.setRequestsHeld(false);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(answered.waitFor(testsupport::scaled(seconds(10))));
  {
    std::lock_guard lock(mutex);
    std::vector<std::string> said;
    for (const auto& [what, info] : answers) said.push_back(what + (info.cancelled ? " cancelled" : ""));
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said, (std::vector<std::string>{"a drawn", "a drawn", "c none cancelled", "d none cancelled"}));
  }
  EXPECT_EQ(drawings.counts(), (std::map<std::string, int>{{a.localIdentifier, 1}}));
  EXPECT_EQ(caching.cachedImageCount(), 0u) << "a was no longer to be kept";

  // Prepared and kept: asked for while drawn and after, drawn once.
  caching.startCachingImagesForAssets({b}, 50, 50, kFill);
  caching.requestImageForAsset(b, 50, 50, kFill, {}, keep("b"));
  ASSERT_TRUE(answered.waitFor(testsupport::scaled(seconds(10))));
  caching.requestImageForAsset(b, 50, 50, kFill, {}, keep("b"));
  ASSERT_TRUE(answered.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_EQ(drawings.counts()[b.localIdentifier], 1);
  EXPECT_EQ(caching.cachedImageCount(), 1u);
  for (const auto& drawing : drawings.all()) {
    EXPECT_EQ(std::make_pair(drawing.width, drawing.height), std::make_pair(50, 50));
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(answers.size(), 6u) << "each request answered once";
}

// A picture asked of a photo that cannot be drawn says why, as every other
// read of its file does: gone, unreadable (its open refused) or damaged,
// each with the file's path; none stalls or is taken for another.
TEST_F(ImageManagerTest, APictureThatCannotBeDrawnIsToldGoneUnreadableOrDamaged) {
  using Kind = AssetFileFailure::Kind;
  const fs::path gone = PhotoLibrary::folder() / "gone.jpg";
  const fs::path locked = PhotoLibrary::folder() / "locked.jpg";
  const fs::path broken = PhotoLibrary::folder() / "broken.jpg";
  testsupport::writeFile(gone, testsupport::makeJpeg(40, 30));
  testsupport::writeFile(locked, testsupport::makeJpeg(40, 30));
  testsupport::writeFile(broken, Bytes(100, 0x5a));
  const auto photos = library->fetchAssetsWithMediaType(MediaType::Image);
  fs::remove(gone);
  testsupport::FileFault fault(testsupport::FileFault::fromOpen(locked, 1, EACCES));
  const struct {
    fs::path file;
    Kind kind;
  } cases[] = {{gone, Kind::Gone}, {locked, Kind::Unreadable}, {broken, Kind::Damaged}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    const auto photo = named(photos, c.file.filename().string());
    ASSERT_TRUE(photo);
    Semaphore done;
    std::optional<Image> image;
    ImageRequestInfo info;
    ImageManager::defaultManager().requestImageForAsset(*photo, 100, 100, ImageContentMode::AspectFill, {},
                                                        [&](std::optional<Image> got, const ImageRequestInfo& i) {
                                                          image = std::move(got);
                                                          info = i;
                                                          done.signal();
                                                        });
    ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
    EXPECT_FALSE(image);
    ASSERT_TRUE(info.error);
    const auto failure = assetFileFailureOf(*info.error);
    ASSERT_TRUE(failure) << info.error->description();
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->file, c.file);
  }
}

// A photo of every format is drawn at the size it is shown in; a HEIC
// stored on its side, turned by its own transform and its EXIF, is drawn
// upright once (red above, blue below), not turned twice, and is handed out
// as its file with no turn left to make.
TEST_F(ImageManagerTest, APhotoOfEveryFormatIsDrawnAsShownAndAHeicUprightOnce) {
  for (const auto& sample : testsupport::mediaSamples()) {
    if (sample.seconds > 0) continue;
    SCOPED_TRACE(sample.file);
    testsupport::writeFile(PhotoLibrary::folder() / sample.file,
                           testsupport::readFile(testsupport::mediaSamplePath(sample.file)));
    const auto photo = named(library->fetchAssetsWithMediaType(MediaType::Image), sample.file);
    ASSERT_TRUE(photo);
    Semaphore done;
    std::optional<Image> image;
    ImageManager::defaultManager().requestImageForAsset(*photo, 160, 160, ImageContentMode::AspectFit, {},
                                                        [&](std::optional<Image> got, const ImageRequestInfo&) {
                                                          image = std::move(got);
                                                          done.signal();
                                                        });
    ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
    ASSERT_TRUE(image);
    const double scale = 160.0 / std::max(sample.width, sample.height);
    EXPECT_EQ(image->width(), std::lround(sample.width * scale));
    EXPECT_EQ(image->height(), std::lround(sample.height * scale));
    if (std::string(sample.file) != "photo.heic") continue;
    const Bytes pixels = image->RGBARepresentation().value();
    const auto redAt = [&](int y) {
      return pixels[static_cast<std::size_t>(y * image->width() + image->width() / 2) * 4];
    };
    EXPECT_GT(redAt(2), 150) << "red above";
    EXPECT_LT(redAt(image->height() - 3), 100) << "blue below";

    ImageOrientation orientation = ImageOrientation::Down;
    ImageRequestInfo info;
    ImageManager::defaultManager().requestImageDataForAsset(
        *photo, {.fileOnlyWhenUnedited = true},
        [&](std::optional<Bytes>, std::string, ImageOrientation o, const ImageRequestInfo& i) {
          orientation = o;
          info = i;
          done.signal();
        });
    ASSERT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
    EXPECT_FALSE(info.error);
    EXPECT_EQ(info.fileURL, photo->file);
    EXPECT_EQ(orientation, ImageOrientation::Up);
  }
}

}  // namespace
