#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "platform/app/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/CachingImageManager.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/MainQueueChangeObserver.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryFixture.h"
#include "platform/storage/AppHome.h"
#include "support/FileFault.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"
#include "support/UserFolder.h"

namespace {

using namespace platform;
using namespace platform::photos;
namespace fs = std::filesystem;

// Collects what the library reports; waits (on a semaphore) for reports.
class ChangeRecorder : public ChangeObserver {
 public:
  ChangeRecorder() {
    photoLibraryDidChange = [this](const Change& change) {
      {
        std::lock_guard<std::mutex> guard(mutex);
        changes.push_back(change);
      }
      reported.signal();
    };
  }
  Change next() {
    EXPECT_TRUE(reported.waitFor(testsupport::scaled(seconds(10))));
    std::lock_guard<std::mutex> guard(mutex);
    Change change = changes.empty() ? Change{} : changes.front();
    if (!changes.empty()) changes.erase(changes.begin());
    return change;
  }
  // The reports merged until they hold `done` (the library also looks at
  // its folder by itself when files change there, so one change on disk may
  // reach its observers in more than one report).
  Change until(const std::function<bool(const Change&)>& done) {
    Change merged;
    while (!done(merged)) {
      if (!reported.waitFor(testsupport::scaled(seconds(10)))) break;
      std::lock_guard<std::mutex> guard(mutex);
      if (changes.empty()) continue;
      const Change& one = changes.front();
      for (auto [into, from] : {std::pair{&merged.insertedAssets, &one.insertedAssets},
                                {&merged.removedAssets, &one.removedAssets},
                                {&merged.changedAssets, &one.changedAssets},
                                {&merged.changedCollections, &one.changedCollections}}) {
        for (const auto& id : *from) {
          if (std::find(into->begin(), into->end(), id) == into->end()) into->push_back(id);
        }
      }
      changes.erase(changes.begin());
    }
    return merged;
  }
  std::mutex mutex;
  std::vector<Change> changes;
  Semaphore reported;
};

using PhotoLibraryTest = testsupport::PhotoLibraryFixture;

TEST_F(PhotoLibraryTest, AccessIsAskedOnceAndWithoutItTheLibraryIsClosed) {
  ASSERT_TRUE(PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::NotDetermined));
  PhotoLibrary::setAuthorizationAnswer(false);
  Semaphore answered;
  photos::AuthorizationStatus status = photos::AuthorizationStatus::NotDetermined;
  PhotoLibrary::requestAuthorization([&](photos::AuthorizationStatus s) {
    status = s;
    answered.signal();
  });
  ASSERT_TRUE(answered.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_EQ(status, photos::AuthorizationStatus::Denied);
  EXPECT_EQ(PhotoLibrary::authorizationStatus(), photos::AuthorizationStatus::Denied);

  testsupport::writeFile(PhotoLibrary::folder() / "a.jpg", testsupport::makeJpeg(8, 8));
  EXPECT_TRUE(library->fetchAssetsWithMediaType(MediaType::Image).empty());
  auto refused = library->performChangesAndWait(
      [](ChangeRequests& changes) { changes.creationRequestForAssetCollectionWithTitle("Trips"); });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), kPhotosErrorAccessDenied);

  // A second request does not ask again.
  PhotoLibrary::setAuthorizationAnswer(true);
  PhotoLibrary::requestAuthorization([&](photos::AuthorizationStatus s) {
    status = s;
    answered.signal();
  });
  ASSERT_TRUE(answered.waitFor(testsupport::scaled(seconds(10))));
  EXPECT_EQ(status, photos::AuthorizationStatus::Denied);
}

TEST_F(PhotoLibraryTest, FilesInTheFolderBecomeAssetsWithStableIdentifiersAndWhatTheirFilesSay) {
  const fs::path folder = PhotoLibrary::folder();
  testsupport::writeFile(folder / "DCIM" / "IMG_1.JPG",
                         testsupport::makeJpeg(64, 32, {.orientation = 6,
                                                        .dateTaken = "2020:02:03 04:05:06",
                                                        .latitude = 48.8584,
                                                        .longitude = -2.2945}));
  testsupport::writeFile(folder / "Screenshot 1.png", testsupport::makePng(30, 60));
  testsupport::writeFile(folder / "clip.mov", testsupport::makeMovie(320, 240, 3));
  testsupport::writeFile(folder / "notes.txt", {1, 2, 3});
  testsupport::writeFile(folder / "broken.jpg", Bytes(50, 0x42));
  testsupport::writeFile(folder / ".hidden.jpg", testsupport::makeJpeg(8, 8));

  // A file that does not read as what its name says is a (damaged) asset
  // all the same; a file of no photo or video name is none.
  auto assets = library->fetchAssetsInAssetCollection(album(CollectionSubtype::SmartAlbumUserLibrary));
  ASSERT_EQ(assets.size(), 4u);
  auto broken = named(assets, "broken.jpg");
  ASSERT_TRUE(broken);
  EXPECT_EQ(broken->mediaType, MediaType::Image);
  EXPECT_EQ(broken->pixelWidth, 0);
  auto photo = named(assets, "IMG_1.JPG");
  ASSERT_TRUE(photo);
  EXPECT_EQ(photo->mediaType, MediaType::Image);
  EXPECT_EQ(photo->pixelWidth, 32);  // shown turned: 64 x 32 stored
  EXPECT_EQ(photo->pixelHeight, 64);
  using namespace std::chrono;
  EXPECT_EQ(photo->creationDate, Clock::TimePoint(sys_days(2020y / February / 3) + 4h + 5min + 6s));
  ASSERT_TRUE(photo->location);
  EXPECT_NEAR(photo->location->longitude, -2.2945, 1e-6);
  auto movie = named(assets, "clip.mov");
  ASSERT_TRUE(movie);
  EXPECT_EQ(movie->mediaType, MediaType::Video);
  EXPECT_DOUBLE_EQ(movie->duration, 3);
  EXPECT_EQ(movie->pixelWidth, 320);

  auto screenshots = library->fetchAssetsInAssetCollection(album(CollectionSubtype::SmartAlbumScreenshots));
  ASSERT_EQ(screenshots.size(), 1u);
  EXPECT_EQ(screenshots[0].file.filename(), "Screenshot 1.png");

  // Looking again keeps every identifier; a changed file keeps its own and
  // is reported as changed, a removed one is reported as removed.
  auto recorder = std::make_shared<ChangeRecorder>();
  library->registerChangeObserver(recorder);
  EXPECT_EQ(library->fetchAssetsWithLocalIdentifiers({photo->localIdentifier, movie->localIdentifier}).size(), 2u);
  testsupport::writeFile(folder / "clip.mov", testsupport::makeMovie(320, 240, 9));
  fs::remove(folder / "Screenshot 1.png");
  library->rescan();
  Change change = recorder->until([](const Change& c) { return !c.changedAssets.empty() && !c.removedAssets.empty(); });
  EXPECT_EQ(change.changedAssets, std::vector<std::string>{movie->localIdentifier});
  EXPECT_EQ(change.removedAssets, std::vector<std::string>{screenshots[0].localIdentifier});
  auto again = library->fetchAssetsWithLocalIdentifiers({movie->localIdentifier});
  ASSERT_EQ(again.size(), 1u);
  EXPECT_DOUBLE_EQ(again[0].duration, 9);

  // A look-up by identifier sees its own asset's change, and its removal,
  // with no rescan asked for.
  testsupport::writeFile(folder / "clip.mov", testsupport::makeMovie(320, 240, 5, 1024));
  again = library->fetchAssetsWithLocalIdentifiers({movie->localIdentifier});
  ASSERT_EQ(again.size(), 1u);
  EXPECT_DOUBLE_EQ(again[0].duration, 5);
  EXPECT_EQ(recorder->until([](const Change& c) { return !c.changedAssets.empty(); }).changedAssets,
            std::vector<std::string>{movie->localIdentifier});
  fs::remove(folder / "clip.mov");
  EXPECT_EQ(library->fetchAssetsWithLocalIdentifiers({movie->localIdentifier, photo->localIdentifier}).size(), 1u);
}

TEST_F(PhotoLibraryTest, ChangeBlocksMakeAlbumsAddAndRemoveAssetsAllOrNothing) {
  auto recorder = std::make_shared<ChangeRecorder>();
  library->registerChangeObserver(recorder);
  const fs::path outside = home.root() / "downloads";
  testsupport::writeFile(outside / "trip.jpg", testsupport::makeJpeg(16, 16));
  testsupport::writeFile(outside / "trip.mov", testsupport::makeMovie(16, 16, 1));

  std::string albumID, photoID, videoID;
  ASSERT_TRUE(library->performChangesAndWait([&](ChangeRequests& changes) {
    albumID = changes.creationRequestForAssetCollectionWithTitle("Trips");
    photoID = changes.creationRequestForAssetFromImageAtFileURL(outside / "trip.jpg");
    videoID = changes.creationRequestForAssetFromVideoAtFileURL(outside / "trip.mov");
    changes.addAssets(albumID, {photoID, videoID});
  }));
  Change change = recorder->next();
  EXPECT_EQ(change.insertedAssets, (std::vector<std::string>{photoID, videoID}));
  auto trips = library->fetchAssetCollectionsWithLocalIdentifiers({albumID});
  ASSERT_EQ(trips.size(), 1u);
  EXPECT_EQ(trips[0].localizedTitle, "Trips");
  auto members = library->fetchAssetsInAssetCollection(trips[0]);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].file.parent_path(), PhotoLibrary::folder());
  // A sync from a computer brings an event of its own copies: no user
  // album, and closed to changes (below).
  auto event = library->importSyncedEvent("Birthday", {outside / "trip.jpg", outside / "trip.mov"});
  ASSERT_TRUE(event) << event.error().description();
  EXPECT_EQ(recorder->next().insertedAssets.size(), 2u);
  auto events = library->fetchAssetCollectionsWithType(CollectionType::Album, CollectionSubtype::AlbumSyncedEvent);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(library->fetchAssetsInAssetCollection(events[0]).size(), 2u);
  EXPECT_EQ(library->fetchTopLevelUserCollections(), trips);

  // A file dropped into the folder (a folder made for it included) is an
  // asset too: the library notices by itself, as the phone's does a sync.
  testsupport::writeFile(PhotoLibrary::folder() / "Imports" / "dropped.jpg", testsupport::makeJpeg(8, 8));
  EXPECT_EQ(recorder->until([](const Change& c) { return !c.insertedAssets.empty(); }).insertedAssets.size(), 1u);
  // What the folder watch does not hear (a file's time set) is noticed when
  // the app becomes active.
  auto dropped = named(library->fetchAssetsWithMediaType(MediaType::Image), "dropped.jpg");
  ASSERT_TRUE(dropped);
  fs::last_write_time(dropped->file, fs::last_write_time(dropped->file) - std::chrono::hours(1));
  NotificationCenter::defaultCenter().post(kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(recorder->until([](const Change& c) { return !c.changedAssets.empty(); }).changedAssets,
            std::vector<std::string>{dropped->localIdentifier});

  // A block that fails anywhere applies nothing.
  const auto before = library->fetchAssetsWithMediaType(MediaType::Image).size();
  auto cameraRoll = album(CollectionSubtype::SmartAlbumUserLibrary);
  struct Case {
    std::function<void(ChangeRequests&)> block;
    std::int64_t code;
  };
  const Case failures[] = {
      {[&](ChangeRequests& c) {
         c.creationRequestForAssetCollectionWithTitle("Never");
         c.removeAssets(cameraRoll.localIdentifier, {photoID});
       },
       kPhotosErrorNotEditable},
      {[&](ChangeRequests& c) {
         c.creationRequestForAssetFromImageAtFileURL(outside / "trip.jpg");
         c.addAssets("no such album", {photoID});
       },
       kPhotosErrorNotFound},
      {[&](ChangeRequests& c) { c.addAssets(*event, {photoID}); }, kPhotosErrorNotEditable},
      {[&](ChangeRequests& c) { c.creationRequestForAssetFromImageAtFileURL(outside / "trip.mov"); },
       kPhotosErrorInvalidResource},
      {[&](ChangeRequests& c) { c.creationRequestForAssetFromVideoAtFileURL(outside / "missing.mov"); },
       kPhotosErrorInvalidResource},
  };
  for (const auto& failure : failures) {
    auto status = library->performChangesAndWait(failure.block);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().code(), failure.code);
  }
  EXPECT_EQ(library->fetchAssetsWithMediaType(MediaType::Image).size(), before);
  EXPECT_EQ(library->fetchTopLevelUserCollections().size(), 1u);

  // Removing from an album keeps the asset; deleting it removes its file.
  ASSERT_TRUE(library->performChangesAndWait([&](ChangeRequests& c) { c.removeAssets(albumID, {videoID}); }));
  EXPECT_EQ(library->fetchAssetsInAssetCollection(trips[0]).size(), 1u);
  const fs::path videoFile = library->fetchAssetsWithLocalIdentifiers({videoID}).at(0).file;
  ASSERT_TRUE(library->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({videoID}); }));
  EXPECT_FALSE(fs::exists(videoFile));
  EXPECT_TRUE(library->fetchAssetsWithLocalIdentifiers({videoID}).empty());
}

// A file is an asset by its name whether or not it reads. One damaged (cut
// short, emptied, never a picture) or unreadable (its reads refused, or its
// folder's listing, as by mode 000; a failing disk), before it was listed
// or after, stays in the library under its identifier and fails when its
// bytes are asked for, told by its name and reason; only a file no longer
// at its path (removed, its folder moved away) leaves the library. Once
// readable again, it is handed out.
TEST_F(PhotoLibraryTest, DamagedOrUnreadableFilesStayAssetsThatFailByNameOnlyGoneOnesLeave) {
  const fs::path media = PhotoLibrary::folder();
  const testsupport::UserFolder users;
  auto cut = [](std::uintmax_t size) { return [size](const fs::path& file) { fs::resize_file(file, size); }; };
  Bytes noise(100);
  std::mt19937 random(7);
  std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
  struct Case {
    const char* what;
    const char* name;
    std::function<void(const fs::path& file)> change;  // once listed
    int refused;                                       // at its reads (and its folder's listing)
    bool folderRefused;
    const char* told;  // after its name; nullptr: gone
  };
  const char* damagedPhoto = " is damaged: it does not read as a photo";
  const Case cases[] = {
      {"cut to 100 bytes", "IMG_0060.JPG", cut(100), 0, false, damagedPhoto},
      {"cut to nothing", "IMG_0061.JPG", cut(0), 0, false, damagedPhoto},
      {"never a picture", "broken.jpg", nullptr, 0, false, damagedPhoto},
      {"a movie cut inside its header", "clip.mov", cut(10), 0, false, " is damaged: it does not read as a video"},
      {"its reads refused", "IMG_0062.JPG", nullptr, EACCES, false, ": cannot be read: permission denied"},
      {"a failing disk", "IMG_0063.JPG", nullptr, EIO, false, ": cannot be read: input/output error"},
      {"its folder's listing refused", "IMG_0064.JPG", nullptr, EACCES, true, ": cannot be read: permission denied"},
      {"removed", "IMG_0065.JPG", [](const fs::path& file) { fs::remove(file); }, 0, false, nullptr},
      {"its folder moved away", "IMG_0066.JPG",
       [&](const fs::path& file) { fs::rename(file.parent_path(), users.path() / "moved"); }, 0, false, nullptr},
  };
  std::vector<fs::path> files;
  for (const Case& c : cases) {
    const fs::path file = media / ("c" + std::to_string(files.size())) / c.name;
    const bool movie = PhotoLibrary::mediaTypeOfFile(file) == MediaType::Video;
    testsupport::writeFile(file, c.name == std::string("broken.jpg") ? noise
                                 : movie ? testsupport::makeMovie(32, 24, 2)
                                         : testsupport::makeJpeg(40 + static_cast<int>(files.size()), 30));
    files.push_back(file);
  }
  std::map<fs::path, std::string> identifiers;
  for (auto type : {MediaType::Image, MediaType::Video}) {
    for (const Asset& asset : library->fetchAssetsWithMediaType(type)) identifiers[asset.file] = asset.localIdentifier;
  }
  ASSERT_EQ(identifiers.size(), files.size());
  testsupport::FileFault fault([&](const fs::path& path, FileAccess access) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      const Case& c = cases[i];
      if (c.folderRefused ? testsupport::FileFault::under(files[i].parent_path(), c.refused)(path, access) != 0
                          : c.refused != 0 && access == FileAccess::Open && path == files[i]) {
        return c.refused;
      }
    }
    return 0;
  });
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (cases[i].change) cases[i].change(files[i]);
  }

  // The error that asking for its bytes (or its export) meets, both ways.
  auto& manager = ImageManager::defaultManager();
  auto failureOf = [&](const Asset& asset, bool fileOnly) {
    Semaphore done;
    ImageRequestInfo info;
    if (asset.mediaType == MediaType::Video) {
      manager.requestExportSessionForVideo(asset, {}, kAssetExportPresetHighestQuality,
                                           [&](std::shared_ptr<AssetExportSession>, const ImageRequestInfo& i) {
                                             info = i;
                                             done.signal();
                                           });
    } else {
      manager.requestImageDataForAsset(
          asset, {.fileOnlyWhenUnedited = fileOnly},
          [&](std::optional<Bytes>, std::string, ImageOrientation, const ImageRequestInfo& i) {
            info = i;
            done.signal();
          });
    }
    EXPECT_TRUE(done.waitFor(testsupport::scaled(seconds(10))));
    return info.error;
  };
  library->rescan();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const auto found = library->fetchAssetsWithLocalIdentifiers({identifiers[files[i]]});
    if (!c.told) {
      EXPECT_TRUE(found.empty());
      Asset asset;
      asset.mediaType = MediaType::Image;
      asset.file = files[i];
      const auto error = failureOf(asset, true);
      ASSERT_TRUE(error);
      EXPECT_TRUE(isAssetFileGoneError(*error)) << error->description();
      continue;
    }
    ASSERT_EQ(found.size(), 1u);
    for (bool fileOnly : {true, false}) {
      const auto error = failureOf(found[0], fileOnly);
      ASSERT_TRUE(error);
      EXPECT_NE(error->description().find(std::string(c.name) + c.told), std::string::npos) << error->description();
      EXPECT_FALSE(isAssetFileGoneError(*error));
      const auto failure = assetFileFailureOf(*error);
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->file, files[i]);
    }
  }

  // Whole and readable again: the same assets, handed out.
  setFileFaultForTesting(nullptr);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Case& c = cases[i];
    if (!c.told) continue;
    SCOPED_TRACE(c.what);
    if (c.change || !c.refused) {
      const bool movie = c.name == std::string("clip.mov");
      testsupport::writeFile(files[i], movie ? testsupport::makeMovie(32, 24, 3)
                                             : testsupport::makeJpeg(90, 30 + static_cast<int>(i)));
    }
    const auto found = library->fetchAssetsWithLocalIdentifiers({identifiers[files[i]]});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_FALSE(failureOf(found[0], true));
  }
}

// A folder of the library that cannot be read whole (its listing refused,
// as by mode 0311 or 000, or failing, as on a failing disk or a drive going
// away mid-run; or what it holds not to be looked at, as by mode 0600)
// keeps every asset known in it, with its identifier and album membership,
// whatever its files answer; the library tells it with its reason, a folder
// never seen before too. Read again, its photos are the same assets, and
// the ones it hid come in.
TEST_F(PhotoLibraryTest, AFolderThatCannotBeReadKeepsItsAssetsAndIsTold) {
  const fs::path media = PhotoLibrary::folder();
  using Fault = std::function<int(const fs::path& folder, const fs::path& path, FileAccess access)>;
  struct Case {
    const char* what;
    Fault fault;
    const char* told;
  };
  const Case cases[] = {
      {"its listing refused, its files reachable (0311)",
       [](const fs::path& folder, const fs::path& path, FileAccess access) {
         return access == FileAccess::Look && path == folder ? EACCES : 0;
       },
       "permission denied"},
      {"its listing and its files refused (000)",
       [](const fs::path& folder, const fs::path& path, FileAccess access) {
         return testsupport::FileFault::under(folder, EACCES)(path, access);
       },
       "permission denied"},
      {"its listing failing, its files gone with the drive",
       [](const fs::path& folder, const fs::path& path, FileAccess access) {
         return path == folder ? EIO : testsupport::FileFault::under(folder, ENOENT)(path, access);
       },
       "input/output error"},
      {"what it holds not to be looked at (0600)",
       [](const fs::path& folder, const fs::path& path, FileAccess access) {
         return access == FileAccess::Look && path.parent_path() == folder ? EACCES : 0;
       },
       "permission denied"},
  };
  std::vector<fs::path> folders;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    folders.push_back(media / ("f" + std::to_string(i)));
    testsupport::writeFile(folders.back() / "IMG_0001.JPG", testsupport::makeJpeg(20 + static_cast<int>(i), 10));
    testsupport::writeFile(folders.back() / "deeper" / "IMG_0001.JPG",
                           testsupport::makeJpeg(30 + static_cast<int>(i), 10));
  }
  testsupport::writeFile(media / "read" / "IMG_0001.JPG", testsupport::makeJpeg(40, 10));
  auto identifiers = [&] {
    std::map<std::string, std::string> byPath;
    for (const Asset& asset : library->fetchAssetsWithMediaType(MediaType::Image)) {
      byPath[asset.file.lexically_relative(media).string()] = asset.localIdentifier;
    }
    return byPath;
  };
  const auto known = identifiers();
  ASSERT_EQ(known.size(), 2 * folders.size() + 1);
  std::vector<std::string> all;
  for (const auto& [path, id] : known) all.push_back(id);
  ASSERT_TRUE(library->performChangesAndWait([&](ChangeRequests& changes) {
    changes.addAssets(changes.creationRequestForAssetCollectionWithTitle("Family"), all);
  }));
  const AssetCollection family = album(CollectionSubtype::AlbumRegular);
  auto members = [&] {
    std::set<std::string> ids;
    for (const Asset& asset : library->fetchAssetsInAssetCollection(family)) ids.insert(asset.localIdentifier);
    return ids;
  };
  const std::set<std::string> everyone(all.begin(), all.end());
  EXPECT_TRUE(library->unreadFolders().empty());

  const fs::path fresh = media / "new";
  testsupport::FileFault fault([&](const fs::path& path, FileAccess access) {
    for (std::size_t i = 0; i < folders.size(); ++i) {
      if (const int code = cases[i].fault(folders[i], path, access)) return code;
    }
    return access == FileAccess::Look && path == fresh ? EACCES : 0;
  });
  // Photos arrive where they cannot be seen, and in a new folder that cannot
  // be listed.
  for (const fs::path& folder : folders) testsupport::writeFile(folder / "IMG_0002.JPG", testsupport::makeJpeg(50, 10));
  testsupport::writeFile(fresh / "IMG_0001.JPG", testsupport::makeJpeg(60, 10));
  library->rescan();
  EXPECT_EQ(identifiers(), known);
  EXPECT_EQ(members(), everyone);
  EXPECT_EQ(library->fetchAssetsWithLocalIdentifiers(all).size(), all.size());
  std::string told;
  for (const Error& error : library->unreadFolders()) {
    const auto failure = assetFileFailureOf(error);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, AssetFileFailure::Kind::Unlisted);
    told += error.description() + "\n";
  }
  for (std::size_t i = 0; i < folders.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_NE(told.find("the folder \"f" + std::to_string(i) + "\" cannot be read: " + cases[i].told),
              std::string::npos)
        << told;
  }
  EXPECT_NE(told.find("the folder \"new\" cannot be read: permission denied"), std::string::npos) << told;
  EXPECT_EQ(told.find("\"read\""), std::string::npos) << told;

  // Readable again: the same assets in the same album, and what was hidden.
  setFileFaultForTesting(nullptr);
  library->rescan();
  const auto after = identifiers();
  EXPECT_EQ(after.size(), known.size() + folders.size() + 1);
  for (const auto& [path, id] : known) EXPECT_EQ(after.count(path) ? after.at(path) : "", id) << path;
  EXPECT_EQ(members(), everyone);
  EXPECT_TRUE(library->unreadFolders().empty());
}

// Folders linked into the library are part of it: every real folder is
// walked once, under its plain name when it has one (a second name sorts
// first here), however many links lead to it and whatever loops they make,
// and its photos keep their identifiers at the next launch. The folder
// watch follows the links too.
TEST_F(PhotoLibraryTest, FoldersLinkedIntoTheLibraryAreWalkedOnceEachAndWatched) {
  const fs::path media = PhotoLibrary::folder();
  const testsupport::UserFolder pictures;
  const fs::path trip = pictures.path() / "trip";
  testsupport::writeFile(trip / "a.jpg", testsupport::makeJpeg(8, 8));
  testsupport::writeFile(trip / "day2" / "b.jpg", testsupport::makeJpeg(8, 8));
  testsupport::writeFile(media / "2019" / "p.jpg", testsupport::makeJpeg(8, 8));
  fs::create_symlink(trip, media / "trip");
  fs::create_directory_symlink("..", trip / "day2" / "loop");  // to the linked folder itself
  fs::create_directory_symlink(media, trip / "up");            // back up to the library
  fs::create_directory_symlink("..", media / "2019" / "up");
  fs::create_directory_symlink("2019", media / "0-favourites");
  const std::set<std::string> expected = {"2019/p.jpg", "trip/a.jpg", "trip/day2/b.jpg"};

  auto identifiers = [&] {
    std::map<std::string, std::string> byPath;
    for (const Asset& asset : library->fetchAssetsWithMediaType(MediaType::Image)) {
      EXPECT_TRUE(byPath.emplace(asset.file.lexically_relative(media).string(), asset.localIdentifier).second)
          << asset.file;
    }
    return byPath;
  };
  const auto first = identifiers();
  std::set<std::string> paths;
  for (const auto& [path, id] : first) paths.insert(path);
  EXPECT_EQ(paths, expected);
  // The next launch: a library of its own over the same folder.
  {
    testsupport::TestHome elsewhere;
    library = PhotoLibrary::sharedPhotoLibrary();
  }
  library = PhotoLibrary::sharedPhotoLibrary();
  EXPECT_EQ(identifiers(), first);

  // Photos arriving in a linked folder, and a folder linked in meanwhile,
  // are noticed with no rescan asked for.
  auto recorder = std::make_shared<ChangeRecorder>();
  library->registerChangeObserver(recorder);
  testsupport::writeFile(trip / "day2" / "c.jpg", testsupport::makeJpeg(8, 8));
  EXPECT_EQ(recorder->until([](const Change& c) { return !c.insertedAssets.empty(); }).insertedAssets.size(), 1u);
  const fs::path more = pictures.path() / "more";
  testsupport::writeFile(more / "d.jpg", testsupport::makeJpeg(8, 8));
  fs::create_symlink(more, media / "more");
  EXPECT_EQ(recorder->until([](const Change& c) { return !c.insertedAssets.empty(); }).insertedAssets.size(), 1u);
  paths.clear();
  for (const auto& [path, id] : identifiers()) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{"2019/p.jpg", "more/d.jpg", "trip/a.jpg", "trip/day2/b.jpg",
                                           "trip/day2/c.jpg"}));
}

// The library folder holds the user's files: the start of the app changes
// none of them (a copying tool's hidden file named like an atomic write's
// leftover, open modes), only the catalogue's folder, the library's own, is
// tidied.
TEST(PhotoLibraryHome, TheStartChangesNothingInTheLibraryButTheCatalogueFolder) {
  testsupport::TestHome home;  // not used yet: its first use is below
  const fs::path media = home.root() / "Media";
  const auto mode = [](const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::mask; };
  const std::map<fs::path, Bytes> theirs = {{media / "trip" / ".IMG_0001.JPG.Ab12Cd", Bytes{1, 2, 3}},
                                            {media / "trip" / "IMG_0002.JPG", testsupport::makeJpeg(8, 8)},
                                            {media / "IMG_0003.JPG", testsupport::makeJpeg(8, 8)}};
  for (const auto& [path, bytes] : theirs) {
    testsupport::writeFile(path, bytes);
    fs::permissions(path, fs::perms(0644));
  }
  const fs::path catalogue = media / "PhotoData";
  testsupport::writeFile(catalogue / ".Photos.sqlite.Ab12Cd", Bytes{1});
  testsupport::writeFile(catalogue / "notes", Bytes{1});
  for (const fs::path& path : {home.root(), media, media / "trip", catalogue}) fs::permissions(path, fs::perms(0755));
  fs::permissions(catalogue / "notes", fs::perms(0644));

  ASSERT_TRUE(PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  EXPECT_EQ(PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(MediaType::Image).size(), 2u);
  for (const auto& [path, bytes] : theirs) {
    EXPECT_EQ(testsupport::readFile(path), bytes) << path;
    EXPECT_EQ(mode(path), fs::perms(0644)) << path;
  }
  EXPECT_EQ(mode(media), fs::perms(0755));
  EXPECT_EQ(mode(media / "trip"), fs::perms(0755));
  EXPECT_EQ(mode(home.root()), fs::perms(0700));
  EXPECT_FALSE(fs::exists(catalogue / ".Photos.sqlite.Ab12Cd"));
  EXPECT_EQ(mode(catalogue), fs::perms(0700));
  EXPECT_EQ(mode(catalogue / "notes"), fs::perms(0600));
}

// The app's own files are never photos of the library, however a link
// reaches them: a link in the library to the app home, one to the folder
// that holds the home, one into its caches, find none of the app's files (a
// download under way, a staged restore, the documents, a file left in the
// catalogue's folder), while the user's own photos beside the home are
// part of the library through the same link.
TEST(PhotoLibraryHome, TheAppsOwnFoldersAreNeverPhotosHoweverALinkReachesThem) {
  const testsupport::UserFolder users;
  testsupport::TestHome test;
  const fs::path root = users.path() / "home";
  AppHome::setRoot(root);
  const fs::path media = root / "Media";
  for (const fs::path& own : {root / "Library" / "Caches" / "ImageTransfers" / "IMG_0042.JPG",
                              root / "tmp" / "assets-library-1.jpg", root / "Documents" / "notes" / "cover.jpg",
                              media / "PhotoData" / "IMG_0043.JPG"}) {
    testsupport::writeFile(own, testsupport::makeJpeg(8, 8));
  }
  testsupport::writeFile(media / "IMG_0001.JPG", testsupport::makeJpeg(8, 8));
  testsupport::writeFile(users.path() / "Pictures" / "IMG_0002.JPG", testsupport::makeJpeg(8, 8));
  fs::create_directory_symlink("..", media / "up");
  fs::create_directory_symlink("../..", media / "above");
  fs::create_directory_symlink(root / "Library" / "Caches", media / "caches");

  ASSERT_TRUE(PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  std::set<std::string> paths;
  for (const Asset& asset : PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(MediaType::Image)) {
    paths.insert(asset.file.lexically_relative(media).string());
  }
  EXPECT_EQ(paths, (std::set<std::string>{"IMG_0001.JPG", "above/Pictures/IMG_0002.JPG"}));
}

}  // namespace
