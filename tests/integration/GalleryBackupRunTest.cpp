// Whole backups against the local cloud's gallery: a library of three albums
// (the camera roll, "Family" and a screenshot album) with 50 photos and a
// video lands in the cloud's camera album, a new "Family" album and the
// screenshot album; a second run uploads nothing; an image the cloud drops
// with a resync is uploaded again; a full album skips the rest of its list;
// in the background a just-changed asset is left out at index 0; an asset
// gone during the run, before or as it is read, is counted out, not as
// uploaded nor as failed; one that cannot be read, or is damaged, fails by
// its name and reason and is tried again at the next run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "SignedRequestFixture.h"
#include "cloud/request/LMHTTPResponseSerialization.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/device/Device.h"
#include "platform/dispatch/Clock.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/ImageManager.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/http/TestServer.h"
#include "platform/storage/AppHome.h"
#include "server/http/FaultInjector.h"
#include "server/services/GalleryService.h"
#include "support/FileFault.h"
#include "support/TestMedia.h"
#include "support/UserFolder.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "utils/SHA1.h"

namespace {

namespace photos = platform::photos;
using lumora::LMImage;
using lumora::LMImageSyncAdapter;

// What one run reported.
struct Report {
  std::uint64_t toUpload = 0;
  std::vector<std::uint64_t> indexes;  // of each asset handled
  int uploaded = 0;
  int leftOut = 0;
  int tried = 0;
  std::vector<platform::Error> failures;
  std::vector<std::string> failedNames;  // of the images the failures came with
  std::optional<std::vector<LMImage>> finished;
  std::optional<std::uint64_t> finalCount;
  std::optional<platform::Error> failed;
  bool ignored = false;
};

class GalleryBackupRunTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    signInWithKnownKey();
    gallery = std::make_shared<LMImageSyncAdapter>();
    delegate = std::make_shared<lumora::LMImageSyncAdapterDelegate>();
    delegate->willAdapterUploadImagesCount = [this](std::uint64_t count) {
      run.toUpload = count;
      if (beforeLoop) beforeLoop();
    };
    delegate->willAdapterUploadImage = [this](const LMImage&, std::uint64_t, std::uint64_t) { ++run.tried; };
    delegate->didAdapterUploadImage = [this](const std::optional<LMImage>& image, std::uint64_t index,
                                             std::uint64_t) {
      run.indexes.push_back(index);
      ++(image ? run.uploaded : run.leftOut);
    };
    delegate->didAdapterFailUploadImage = [this](const std::optional<LMImage>& image, const platform::Error& error,
                                                 std::uint64_t index, std::uint64_t) {
      run.indexes.push_back(index);
      if (image) run.failedNames.push_back(image->fileName.value_or(""));
      run.failures.push_back(error);
    };
    delegate->didAdapterFinishBackupImages = [this](const std::vector<LMImage>& failed, std::uint64_t count) {
      run.finished = failed;
      run.finalCount = count;
    };
    delegate->didAdapterFailBackupImages = [this](const platform::Error& error) { run.failed = error; };
    delegate->didSyncIgnoreGalleryWithAdapter = [this](LMImageSyncAdapter&) { run.ignored = true; };
    gallery->setDelegate(delegate);
  }
  void TearDown() override {
    photos::ImageManager::defaultManager().setPhotoDataRendered(false);
    gallery.reset();
    SignedRequestCloudTest::TearDown();
  }

  // One run as a job of the adapter's task queue; a background job arms
  // the recent-change rule.
  Report backUp(bool inBackground = false) {
    run = Report();
    auto done = std::make_shared<platform::Semaphore>(0);
    gallery->performTaskBlock(
        [this, done] {
          gallery->backupAllImages();
          done->signal();
        },
        inBackground);
    offMain([done] { done->wait(); });
    EXPECT_FALSE(gallery->isSyncing());
    return run;
  }

  // Photos of distinct content (their width differs) into the library.
  std::vector<std::string> addPhotos(const std::string& prefix, int count, int from = 0) {
    for (int i = from; i < from + count; ++i) {
      testsupport::writeFile(photos::PhotoLibrary::folder() / (prefix + std::to_string(1000 + i) + ".JPG"),
                             testsupport::makeJpeg(16 + i, 12));
    }
    std::vector<std::string> identifiers;
    for (const auto& asset : library()->fetchAssetsWithMediaType(photos::MediaType::Image)) {
      const std::string name = asset.file.filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const int number = std::stoi(name.substr(prefix.size())) - 1000;
      if (number >= from && number < from + count) identifiers.push_back(asset.localIdentifier);
    }
    EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(count));
    return identifiers;
  }

  void addAlbum(const std::string& title, const std::vector<std::string>& assets) {
    ASSERT_TRUE(library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
      changes.addAssets(changes.creationRequestForAssetCollectionWithTitle(title), assets);
    }));
  }

  static std::shared_ptr<photos::PhotoLibrary> library() { return photos::PhotoLibrary::sharedPhotoLibrary(); }

  // Cloud album id -> SHA-1s of its live images (with how often each).
  std::map<std::int64_t, std::multiset<std::string>> cloudImages() {
    std::map<std::int64_t, std::multiset<std::string>> byAlbum;
    for (const auto& image : server_->gallery().records().images(signedtest::kUserId)) {
      if (image.status == "custom") byAlbum[image.albumId].insert(image.sha1);
    }
    return byAlbum;
  }

  std::int64_t cloudAlbumNamed(const std::string& name) {
    for (const auto& album : server_->gallery().records().albums(signedtest::kUserId)) {
      if (album.name == name && album.status == localcloud::GalleryStore::kAlbumLive) return album.id;
    }
    return 0;
  }

  std::shared_ptr<platform::ManualClock> clock = [] {
    auto manual = std::make_shared<platform::ManualClock>();
    manual->setAutoAdvanceSleeps(true);
    manual->setTime(platform::SystemClock().now());
    return manual;
  }();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<LMImageSyncAdapter> gallery;
  std::shared_ptr<lumora::LMImageSyncAdapterDelegate> delegate;
  std::function<void()> beforeLoop;  // on the main thread, when the upload set is known
  Report run;
};

TEST_F(GalleryBackupRunTest, ALibraryOfThreeAlbumsIsBackedUpOnceAndAResyncDeletionAgain) {
  const auto family = addPhotos("IMG_", 10);
  addPhotos("IMG_", 35, 10);
  const auto screenshots = addPhotos("Screenshot_", 5, 45);
  testsupport::writeFile(photos::PhotoLibrary::folder() / "MOV_0001.MOV", testsupport::makeMovie(32, 24, 1.0));
  ASSERT_EQ(library()->fetchAssetsWithMediaType(photos::MediaType::Video).size(), 1u);
  addAlbum("Family", family);
  addAlbum(" Screenshots\n", screenshots);

  // The camera roll holds all 51 assets, so the photos of the two albums go
  // up twice: once in each of their albums.
  Report first = backUp();
  ASSERT_FALSE(first.failed) << first.failed->description();
  ASSERT_TRUE(first.finished);
  EXPECT_TRUE(first.finished->empty());
  EXPECT_EQ(first.toUpload, 66u);
  EXPECT_EQ(first.uploaded, 66);
  const std::int64_t familyAlbum = cloudAlbumNamed("Family");
  ASSERT_GT(familyAlbum, 2);
  auto cloud = cloudImages();
  EXPECT_EQ(cloud.size(), 3u);
  EXPECT_EQ(std::set<std::string>(cloud[1].begin(), cloud[1].end()).size(), 51u);
  EXPECT_EQ(cloud[1].size(), 51u);
  EXPECT_EQ(cloud[2].size(), 5u);
  EXPECT_EQ(cloud[familyAlbum].size(), 10u);
  EXPECT_EQ(gallery->context()->searchAllImageRelations()->size(), 66u);
  EXPECT_EQ(gallery->context()->searchAllAlbumRelations()->size(), 3u);

  Report second = backUp();
  ASSERT_TRUE(second.finished);
  EXPECT_EQ(second.toUpload, 0u);
  EXPECT_EQ(second.tried, 0);
  EXPECT_EQ(cloudImages(), cloud);
  EXPECT_EQ(gallery->context()->calculateBackupImageNum().value(), 0);

  // Another device removes a Family photo and the cloud starts its listings
  // over: the photo's relation goes and the photo goes up again.
  std::int64_t dropped = 0;
  for (const auto& image : server_->gallery().records().images(signedtest::kUserId)) {
    if (image.albumId == familyAlbum && image.status == "custom") dropped = image.id;
  }
  server_->gallery().deleteImage(signedtest::kUserId, dropped, true);
  EXPECT_EQ(cloudImages()[familyAlbum].size(), 9u);
  Report third = backUp();
  ASSERT_TRUE(third.finished);
  EXPECT_EQ(third.toUpload, 1u);
  EXPECT_EQ(third.uploaded, 1);
  EXPECT_EQ(cloudImages(), cloud);
  EXPECT_EQ(gallery->context()->searchAllImageRelations()->size(), 66u);
}

TEST_F(GalleryBackupRunTest, SyncedEventsGoUpTogetherAsTheEventsAlbum) {
  const std::filesystem::path incoming = platform::AppHome::tmp() / "events";
  testsupport::writeFile(incoming / "A.JPG", testsupport::makeJpeg(20, 12));
  testsupport::writeFile(incoming / "B.JPG", testsupport::makeJpeg(22, 12));
  ASSERT_TRUE(library()->importSyncedEvent("Birthday", {incoming / "A.JPG"}));
  ASSERT_TRUE(library()->importSyncedEvent("Holiday", {incoming / "B.JPG"}));
  Report first = backUp();
  ASSERT_FALSE(first.failed) << first.failed->description();
  EXPECT_EQ(first.uploaded, 4);  // each photo in the camera roll and in its event
  const std::int64_t events = cloudAlbumNamed("Events");
  ASSERT_GT(events, 2);
  EXPECT_EQ(cloudImages()[events].size(), 2u);
  EXPECT_EQ(cloudAlbumNamed("Birthday"), 0);
}

TEST_F(GalleryBackupRunTest, EveryWriteWhoseReplyIsLostOnceIsAppliedOnce) {
  // Each seed loses another reply of each writing path (album made, upload
  // asked for, block sent): the cloud applied the write, the client sends
  // it again, and a second run has nothing to do.
  const std::string base = "/lum/gallery/v3/user/" + std::string(signedtest::kUserIdText);
  for (int seed = 0; seed < 3; ++seed) {
    const std::string title = "Lost" + std::to_string(seed);
    addAlbum(title, addPhotos(title + "_", 3));
    for (const auto& [path, skip] : std::vector<std::pair<std::string, int>>{
             {base + "/full/album", 0}, {base + "/full", seed}, {"/kss/upload_block_chunk", seed}}) {
      localcloud::Fault lost;
      lost.dropReply = true;
      lost.times = 1;
      lost.skip = skip;
      server_->faults().set(path, lost);
    }
    Report first = backUp();
    server_->faults().clearAll();
    if (!first.finished || !first.failures.empty()) first = backUp();
    ASSERT_TRUE(first.finished) << seed;
    EXPECT_EQ(backUp().toUpload, 0u) << seed;
    const std::int64_t album = cloudAlbumNamed(title);
    ASSERT_GT(album, 2) << seed;
    EXPECT_EQ(cloudImages()[album].size(), 3u) << seed;
    std::set<std::string> names;
    for (const auto& made : server_->gallery().records().albums(signedtest::kUserId)) {
      if (made.status == localcloud::GalleryStore::kAlbumLive) {
        EXPECT_TRUE(names.insert(made.name).second) << made.name;
      }
    }
  }
  const auto cloud = cloudImages();
  EXPECT_EQ(std::set<std::string>(cloud.at(1).begin(), cloud.at(1).end()).size(), cloud.at(1).size());
}

// A redirect the client does not follow (an upload's body to another
// origin) fails that request at once, told as the cloud sending it
// elsewhere: the image fails, never sent again in this run, and the run
// goes on; the other origin gets nothing.
TEST_F(GalleryBackupRunTest, AnUploadRedirectedElsewhereFailsAtOnceNamingWhere) {
  std::atomic<int> reachedElsewhere{0};
  testhttp::TestServer elsewhere;
  auto count = [&](const httplib::Request&, httplib::Response& res) {
    ++reachedElsewhere;
    res.set_content("{}", "application/json");
  };
  (*elsewhere).Get(".*", count);
  (*elsewhere).Post(".*", count);
  elsewhere.start();
  const std::string moved = elsewhere.url("/moved");
  const std::string base = "/lum/gallery/v3/user/" + std::string(signedtest::kUserIdText);
  int photos = 0;
  for (const auto& [path, status] : std::vector<std::pair<std::string, int>>{
           {base + "/full", 307}, {base + "/full", 308}, {"/kss/upload_block_chunk", 307},
           {"/kss/upload_block_chunk", 308}}) {
    SCOPED_TRACE(path + " " + std::to_string(status));
    addPhotos("R" + std::to_string(status) + "_", 1, photos++);
    // Once: a request sent again would go through.
    localcloud::Fault redirect;
    redirect.status = status;
    redirect.location = moved;
    redirect.times = 1;
    server_->faults().set(path, redirect);
    const auto began = clock->steadyNow();
    Report report = backUp();
    server_->faults().clear(path);
    ASSERT_TRUE(report.finished);
    ASSERT_EQ(report.failures.size(), 1u);
    const platform::Error& error = report.failures.front();
    EXPECT_EQ(error.code(), lumora::kLMResponseErrorRedirectNotFollowed) << error.description();
    EXPECT_EQ(lumora::LMHTTPResponseSerialization::redirectURLOfError(error), moved);
    EXPECT_EQ(report.uploaded + 1, report.tried);
    // No wait for a retry: the paced sends alone.
    EXPECT_LT(clock->steadyNow() - began, std::chrono::seconds(5));
  }
  EXPECT_EQ(reachedElsewhere.load(), 0);
  Report after = backUp();
  ASSERT_TRUE(after.finished);
  EXPECT_TRUE(after.failures.empty());
}

TEST_F(GalleryBackupRunTest, AFullAlbumSkipsTheRestOfItsListOnly) {
  const auto photos = addPhotos("IMG_", 4);
  addAlbum("Family", {photos.begin(), photos.begin() + 3});
  localcloud::GalleryLimits limits = server_->gallery().records().limits();
  limits.maxImagesPerAlbum = 2;
  server_->gallery().records().setLimits(limits);

  Report full = backUp();
  ASSERT_TRUE(full.finished) << (full.failed ? full.failed->description() : "");
  // Per album: two stored, the third refused, the camera roll's fourth not tried.
  EXPECT_EQ(full.tried, 6);
  EXPECT_EQ(full.uploaded, 4);
  ASSERT_EQ(full.failures.size(), 2u);
  for (const auto& error : full.failures) EXPECT_EQ(error.code(), 50023);
  EXPECT_EQ(full.finished->size(), 2u);
  EXPECT_EQ(full.indexes, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(GalleryBackupRunTest, LeftOutAssetsAreCountedOutNotUploaded) {
  const auto photos = addPhotos("IMG_", 3);
  // Changed 30 s ago: in the background the first asset is left out, and
  // is reported at index 0 like the asset after it.
  const auto now = std::filesystem::file_time_type::clock::now();
  for (std::size_t i = 0; i < photos.size(); ++i) {
    auto asset = library()->fetchAssetsWithLocalIdentifiers({photos[i]});
    ASSERT_EQ(asset.size(), 1u);
    std::filesystem::last_write_time(asset[0].file, i == 0 ? now : now - std::chrono::hours(1));
  }
  library()->rescan();
  clock->setTime(platform::SystemClock().now() + std::chrono::seconds(30));

  Report background = backUp(true);
  ASSERT_TRUE(background.finished);
  EXPECT_EQ(background.leftOut, 1);
  EXPECT_EQ(background.uploaded, 2);
  EXPECT_TRUE(background.ignored);
  EXPECT_EQ(background.finalCount, 2u);
  EXPECT_EQ(background.indexes, (std::vector<std::uint64_t>{0, 0, 1}));

  // In the foreground it goes up. A photo that vanishes once the upload
  // set is known is counted out, and nothing is stored for it.
  const auto more = addPhotos("IMG_", 2, 3);
  beforeLoop = [&] {
    ASSERT_TRUE(library()->performChangesAndWait(
        [&](photos::ChangeRequests& changes) { changes.deleteAssets({more[0]}); }));
  };
  Report foreground = backUp();
  ASSERT_TRUE(foreground.finished);
  EXPECT_EQ(foreground.toUpload, 3u);
  EXPECT_EQ(foreground.uploaded, 2);
  EXPECT_EQ(foreground.leftOut, 1);
  EXPECT_FALSE(foreground.ignored);
  EXPECT_EQ(foreground.finalCount, 2u);
  EXPECT_EQ(cloudImages()[1].size(), 4u);
}

// Photos moved or removed from the library while they are backed up are no
// longer in it: a folder moved away or removed, or the link of a linked
// folder removed, as one of its photos is read (by its export, or by its
// upload): the run succeeds, the photo still there goes up, the gone ones
// are counted out without an image, never as failed, and the next run has
// nothing to send.
TEST_F(GalleryBackupRunTest, PhotosGoneFromTheLibraryAsTheyAreReadAreLeftOutNotFailed) {
  namespace fs = std::filesystem;
  const testsupport::UserFolder users;
  const fs::path media = photos::PhotoLibrary::folder();
  enum class At { Export, Upload };
  struct Case {
    const char* what;
    bool linked;  // the folder is the user's, linked into the library
    At at;
    std::function<void(const fs::path& folder, const fs::path& inLibrary)> change;
  };
  const Case cases[] = {
      {"a folder moved away at its first photo's export", false, At::Export,
       [&](const fs::path& folder, const fs::path&) { fs::rename(folder, users.path() / "moved"); }},
      {"a folder removed at a photo's upload", false, At::Upload,
       [](const fs::path& folder, const fs::path&) { fs::remove_all(folder); }},
      {"a linked folder's link removed at a photo's upload", true, At::Upload,
       [](const fs::path&, const fs::path& inLibrary) { fs::remove(inLibrary); }},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string tag = std::to_string(number);
    // The folder sorts before the one kept: its photos go first unless linked.
    const fs::path inLibrary = media / ("a" + tag);
    const fs::path folder = c.linked ? users.path() / ("trip" + tag) : inLibrary;
    for (int i = 0; i < 3; ++i) {
      testsupport::writeFile(folder / ("GONE" + tag + "_" + std::to_string(i) + ".JPG"),
                             testsupport::makeJpeg(30 + 10 * number + i, 12));
    }
    if (c.linked) fs::create_directory_symlink(folder, inLibrary);
    testsupport::writeFile(media / ("b" + tag) / ("KEEP" + tag + ".JPG"), testsupport::makeJpeg(39 + 10 * number, 12));
    ++number;

    bool changed = false;
    auto changeOnce = [&] {
      if (!changed) c.change(folder, inLibrary);
      changed = true;
    };
    delegate->willAdapterLoadImageIndex = [&](std::uint64_t index, std::uint64_t) {
      if (c.at == At::Export && index == 0) changeOnce();
    };
    delegate->willAdapterUploadImage = [&](const LMImage& image, std::uint64_t, std::uint64_t) {
      ++run.tried;
      if (c.at == At::Upload && image.fileName.value_or("").rfind("GONE", 0) == 0) changeOnce();
    };
    const std::size_t before = cloudImages()[1].size();
    Report report = backUp();
    EXPECT_TRUE(changed);
    ASSERT_TRUE(report.finished) << (report.failed ? report.failed->description() : "");
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().description();
    EXPECT_TRUE(report.finished->empty());
    EXPECT_EQ(report.toUpload, 4u);
    EXPECT_EQ(report.uploaded, 1);
    EXPECT_EQ(report.leftOut, 3);
    EXPECT_EQ(report.finalCount, 1u);
    EXPECT_EQ(cloudImages()[1].size(), before + 1);

    delegate->willAdapterLoadImageIndex = nullptr;
    Report next = backUp();
    ASSERT_TRUE(next.finished);
    EXPECT_EQ(next.toUpload, 0u);
    EXPECT_EQ(next.tried, 0);
  }
}

// An export that fails after the image was read goes to the delegate with
// the image, and into the failed list; the run goes on.
TEST_F(GalleryBackupRunTest, AnImageWhoseExportFailsIsReportedWithItsFailure) {
  addPhotos("EXP", 2);
  // The library hands renderings, which go to temporary files; where the
  // export writes its file is taken by a folder.
  photos::ImageManager::defaultManager().setPhotoDataRendered(true);
  std::filesystem::create_directories(lumora::LMUtils::imageTransferDirectory() / "EXP1000.JPG.partial" / "x");
  Report report = backUp();
  ASSERT_TRUE(report.finished);
  EXPECT_EQ(report.uploaded, 1);
  ASSERT_EQ(report.failures.size(), 1u);
  EXPECT_EQ(report.failedNames, std::vector<std::string>{"EXP1000.JPG"});
  ASSERT_EQ(report.finished->size(), 1u);
  EXPECT_EQ(report.finished->front().fileName, "EXP1000.JPG");
}

// A photo still in the library that cannot be read or is damaged, found so
// before the run or as it runs, at its export or at its upload, fails by
// its name and reason, never as gone and never in silence; nothing is
// stored for it, so the next run tries it again, and sends it once it reads
// again. Only the file system's "no longer there" at a read is gone (here
// at the export's own read of the photo), as a refusal is never gone.
TEST_F(GalleryBackupRunTest, DamagedOrUnreadablePhotosFailByNameAndAreTriedAgainNextRun) {
  namespace fs = std::filesystem;
  using Access = photos::FileAccess;
  using testsupport::FileFault;
  const fs::path media = photos::PhotoLibrary::folder();
  auto cut = [](std::uintmax_t size) { return [size](const fs::path& file) { fs::resize_file(file, size); }; };
  platform::Bytes noise(100);
  std::mt19937 random(11);
  std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
  const char* damaged = " is damaged: it does not read as a photo";
  const char* denied = ": cannot be read: permission denied";
  const char* failing = ": cannot be read: input/output error";
  struct Case {
    const char* what;
    const char* name;
    std::function<void(const fs::path& file)> meanwhile;      // once the upload set is known
    std::function<FileFault::Answer(const fs::path& file)> fault;
    bool faultMeanwhile;  // else from the start
    const char* told;     // after its name; nullptr: gone
  };
  const Case cases[] = {
      {"damaged before the run", "broken.jpg", nullptr, nullptr, false, damaged},
      {"cut to 100 bytes as it runs", "IMG_0060.JPG", cut(100), nullptr, false, damaged},
      {"cut to nothing as it runs", "IMG_0061.JPG", cut(0), nullptr, false, damaged},
      {"its reads refused before the run", "IMG_0062.JPG", nullptr,
       [](const fs::path& file) { return FileFault::fromOpen(file, 1, EACCES); }, false, denied},
      {"its folder made unreadable as it runs", "IMG_0063.JPG", nullptr,
       [](const fs::path& file) { return FileFault::under(file.parent_path(), EACCES); }, true, denied},
      {"a failing disk at its export's read", "IMG_0064.JPG", nullptr,
       [](const fs::path& file) { return FileFault::fromOpen(file, 2, EIO); }, false, failing},
      {"a failing disk at its upload's read", "IMG_0065.JPG", nullptr,
       [](const fs::path& file) { return FileFault::fromOpen(file, 3, EIO); }, false, failing},
      {"no longer there at its export's read", "IMG_0066.JPG", nullptr,
       [](const fs::path& file) { return FileFault::fromOpen(file, 2, ENOENT); }, false, nullptr},
      {"gone between its export's open and its read", "IMG_0067.JPG", cut(100),
       [](const fs::path& file) {
         return [file](const fs::path& path, Access access) {
           return access == Access::Look && path == file ? ENOENT : 0;
         };
       },
       true, nullptr},
  };
  const auto gone = static_cast<std::size_t>(std::count_if(std::begin(cases), std::end(cases),
                                                           [](const Case& c) { return c.told == nullptr; }));
  std::vector<fs::path> files;
  std::vector<FileFault::Answer> faults;
  for (const Case& c : cases) {
    const int number = static_cast<int>(files.size());
    files.push_back(media / ("d" + std::to_string(number)) / c.name);
    testsupport::writeFile(files.back(), c.meanwhile || c.fault ? testsupport::makeJpeg(50 + number, 12) : noise);
    faults.push_back(c.fault ? c.fault(files.back()) : nullptr);
  }
  testsupport::writeFile(media / "z" / "KEEP.JPG", testsupport::makeJpeg(70, 12));
  std::atomic<bool> meanwhile{false};
  std::optional<FileFault> fault(std::in_place, [&](const fs::path& path, Access access) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!faults[i] || (cases[i].faultMeanwhile && !meanwhile)) continue;
      if (const int code = faults[i](path, access)) return code;
    }
    return 0;
  });
  beforeLoop = [&] {
    if (meanwhile.exchange(true)) return;
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (cases[i].meanwhile) cases[i].meanwhile(files[i]);
    }
  };

  // Each photo's failure, by its name; the gone ones are counted out, or
  // out of the library before the run once a look at them says so.
  auto expectFailures = [&](const Report& report, int sent, std::size_t goneBefore) {
    ASSERT_TRUE(report.finished) << (report.failed ? report.failed->description() : "");
    EXPECT_EQ(report.uploaded, sent);
    EXPECT_EQ(report.leftOut, static_cast<int>(gone - goneBefore));
    EXPECT_EQ(report.toUpload, files.size() - goneBefore + static_cast<std::size_t>(sent));
    EXPECT_EQ(report.finished->size(), files.size() - gone);
    std::string told;
    for (const auto& error : report.failures) told += error.description() + "\n";
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      if (!c.told) continue;
      EXPECT_NE(told.find(std::string(c.name) + c.told), std::string::npos) << told;
    }
    EXPECT_EQ(report.failures.size(), files.size() - gone) << told;
  };
  expectFailures(backUp(), 1, 0);
  expectFailures(backUp(), 0, 1);

  // Whole and readable again: every one goes up.
  fault.reset();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!cases[i].fault || cases[i].meanwhile) {
      testsupport::writeFile(files[i], testsupport::makeJpeg(80 + static_cast<int>(i), 12));
    }
  }
  const Report whole = backUp();
  ASSERT_TRUE(whole.finished);
  EXPECT_TRUE(whole.failures.empty()) << whole.failures.front().description();
  EXPECT_EQ(whole.uploaded, static_cast<int>(files.size()));
  EXPECT_EQ(cloudImages()[1].size(), files.size() + 1);
}

// The image stage's reports, in order, for runs that meet a full album, an
// asset gone once the upload set is known, an export that fails, a pause and
// a cancel. Nothing exported is left in the transfer folder.
TEST_F(GalleryBackupRunTest, TheReportsOfScriptedRunsComeInTheirOrder) {
  const auto photos = addPhotos("IMG_", 4);
  addAlbum("Family", {photos.begin(), photos.begin() + 3});
  localcloud::GalleryLimits limits = server_->gallery().records().limits();
  limits.maxImagesPerAlbum = 2;
  server_->gallery().records().setLimits(limits);

  std::vector<std::string> said;
  auto at = [](std::uint64_t index, std::uint64_t count) {
    return " " + std::to_string(index) + "/" + std::to_string(count);
  };
  auto name = [](const std::optional<LMImage>& image) {
    return !image ? std::string("-") : image->fileName.value_or("").substr(0, 3);
  };
  std::function<void()> afterUpload;
  delegate->willAdapterUploadImagesCount = [&](std::uint64_t count) {
    said.push_back("count " + std::to_string(count));
    if (beforeLoop) beforeLoop();
  };
  delegate->willAdapterLoadImageIndex = [&](std::uint64_t index, std::uint64_t count) {
    said.push_back("load" + at(index, count));
  };
  delegate->willAdapterUploadImage = [&](const LMImage& image, std::uint64_t index, std::uint64_t count) {
    said.push_back("upload " + name(image) + at(index, count));
    // Paused until the main queue's next turn.
    if (index == 1 && gallery->suspendSync()) {
      platform::MainQueue::main().async([this] { gallery->resumeSync(); });
    }
  };
  delegate->didAdapterUploadImage = [&](const std::optional<LMImage>& image, std::uint64_t index,
                                        std::uint64_t count) {
    said.push_back("done " + name(image) + at(index, count));
    if (afterUpload) afterUpload();
  };
  delegate->didAdapterFailUploadImage = [&](const std::optional<LMImage>& image, const platform::Error& error,
                                            std::uint64_t index, std::uint64_t count) {
    said.push_back("fail " + name(image) + " " + std::to_string(error.code()) + at(index, count));
  };
  delegate->didAdapterFinishBackupImages = [&](const std::vector<LMImage>& failed, std::uint64_t count) {
    said.push_back("finish " + std::to_string(failed.size()) + " " + std::to_string(count));
  };
  delegate->didAdapterFailBackupImages = [&](const platform::Error& error) {
    said.push_back("stop " + std::to_string(error.code()));
  };
  auto transferFiles = [] {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(lumora::LMUtils::imageTransferDirectory())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  };

  // Per album two stored, the third refused and the rest of the list passed over.
  backUp();
  EXPECT_EQ(said, (std::vector<std::string>{
                      "count 7",
                      "load 0/7", "upload IMG 0/7", "done IMG 0/7",
                      "load 1/7", "upload IMG 1/7", "done IMG 1/7",
                      "load 2/7", "upload IMG 2/7", "fail IMG 50023 2/7",
                      "load 3/7", "upload IMG 3/7", "done IMG 3/7",
                      "load 4/7", "upload IMG 4/7", "done IMG 4/7",
                      "load 5/7", "upload IMG 5/7", "fail IMG 50023 5/7",
                      "finish 2 7"}));
  EXPECT_TRUE(transferFiles().empty());

  // Room again; a new photo goes before the loop starts, and another's
  // export (of a rendering) finds its temporary file's place taken.
  photos::ImageManager::defaultManager().setPhotoDataRendered(true);
  limits.maxImagesPerAlbum = 100;
  server_->gallery().records().setLimits(limits);
  const auto added = addPhotos("NEW_", 2);
  addPhotos("EXP", 1);
  std::filesystem::create_directories(lumora::LMUtils::imageTransferDirectory() / "EXP1000.JPG.partial" / "x");
  beforeLoop = [&] {
    ASSERT_TRUE(library()->performChangesAndWait(
        [&](photos::ChangeRequests& changes) { changes.deleteAssets({added[0]}); }));
  };
  said.clear();
  backUp();
  EXPECT_EQ(said, (std::vector<std::string>{
                      "count 6",
                      "load 0/6", "upload IMG 0/6", "done IMG 0/6",
                      "load 1/6", "upload IMG 1/6", "done IMG 1/6",
                      "load 2/6", "upload IMG 2/6", "done IMG 2/6",
                      "done - 2/5",
                      "load 3/5", "upload NEW 3/5", "done NEW 3/5",
                      "load 4/5", "fail EXP -1 4/5",
                      "finish 1 5"}));
  EXPECT_EQ(transferFiles(), std::set<std::string>{"EXP1000.JPG.partial"});

  beforeLoop = nullptr;
  photos::ImageManager::defaultManager().setPhotoDataRendered(false);
  std::filesystem::remove_all(lumora::LMUtils::imageTransferDirectory() / "EXP1000.JPG.partial");
  addPhotos("END_", 3);
  afterUpload = [this] { gallery->cancelSync(); };
  said.clear();
  backUp();
  EXPECT_EQ(said, (std::vector<std::string>{"count 4", "load 0/4", "upload EXP 0/4", "done EXP 0/4", "stop -10012"}));
  EXPECT_TRUE(transferFiles().empty());
}

}  // namespace

namespace {

// Below system version 8.0 the backup reads the library through its older
// interface: the same assets go up, named by their URLs; an asset edited
// since its backup goes up again; refused access ends the album stage.
class GalleryBackupBelow8Test : public GalleryBackupRunTest {
 protected:
  void SetUp() override {
    GalleryBackupRunTest::SetUp();
    platform::DeviceFacts facts = saved;
    facts.systemVersion = "7.1.2";
    platform::Device::configure(facts);
  }
  void TearDown() override {
    platform::Device::configure(saved);
    GalleryBackupRunTest::TearDown();
  }
  platform::DeviceFacts saved = platform::Device::configured();
};

TEST_F(GalleryBackupBelow8Test, TheOlderInterfaceBacksUpTheSameAssetsAndAnEditedOneAgain) {
  const auto family = addPhotos("IMG_", 3);
  testsupport::writeFile(photos::PhotoLibrary::folder() / "MOV_0001.MOV", testsupport::makeMovie(32, 24, 1.0));
  addAlbum("Family", {family[0], family[1]});
  auto store = gallery->context();
  EXPECT_EQ(store->calculateBackupImageNum().value(), 6);  // no album related yet: every asset counts

  Report first = backUp();
  ASSERT_FALSE(first.failed) << first.failed->description();
  EXPECT_EQ(first.uploaded, 6);
  const std::int64_t familyAlbum = cloudAlbumNamed("Family");
  auto cloud = cloudImages();
  EXPECT_EQ(cloud[1].size(), 4u);
  EXPECT_EQ(cloud[familyAlbum].size(), 2u);
  const auto relations = store->searchAllImageRelations();
  ASSERT_TRUE(relations);
  for (const auto& relation : *relations) {
    EXPECT_EQ(relation.assetID->rfind("assets-library://asset/asset.", 0), 0u) << *relation.assetID;
  }
  EXPECT_EQ(backUp().toUpload, 0u);
  EXPECT_EQ(store->calculateBackupImageNum().value(), 0);

  // A photo of Family edited in place: its size changes, so both of its
  // rows go and it is counted and sent again, in both albums.
  const auto edited = library()->fetchAssetsWithLocalIdentifiers({family[0]}).at(0).file;
  testsupport::writeFile(edited, testsupport::makeJpeg(64, 48));
  library()->rescan();
  EXPECT_EQ(store->calculateBackupImageNum().value(), 2);
  Report again = backUp();
  EXPECT_EQ(again.toUpload, 2u);
  EXPECT_EQ(again.uploaded, 2);
  EXPECT_EQ(cloudImages()[familyAlbum].size(), 3u);

  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Denied));
  Report refused = backUp();
  ASSERT_TRUE(refused.failed);
  EXPECT_EQ(refused.failed->code(), lumora::kLMLocalErrorPhotosAccess);
}

// A photo or a video whose file is cut, or grows, while the backup reads it
// (at its export's read of the library's file, or at its upload's), or
// between the two, fails as changed while it was read, neither sent as it
// was read nor told unreadable; the next run reads it again, whole, and
// sends it. Each is the one photo of its run, so that it is exported at
// its turn (a photo exported ahead of its turn is exported again once the
// library has seen it change).
TEST_F(GalleryBackupRunTest, AFileCutOrGrownWhileItIsReadFailsAsChangedAndIsSentNextRun) {
  namespace fs = std::filesystem;
  using testsupport::FileFault;
  using Access = photos::FileAccess;
  const auto cut = [](const fs::path& file) { fs::resize_file(file, fs::file_size(file) / 2); };
  const auto grow = [](const fs::path& file) { std::ofstream(file, std::ios::app | std::ios::binary) << "more"; };
  // The reads of a photo's file: the library's answer, its export's, its
  // upload's; of a video's: the library's answer, its export's copy.
  struct Case {
    const char* name;
    Access at;
    int nth;
    std::function<void(const fs::path&)> change;
  };
  const Case cases[] = {
      {"CUT_AT_EXPORT.JPG", Access::Read, 2, cut},    {"GROWN_AT_EXPORT.JPG", Access::Read, 2, grow},
      {"CUT_AT_UPLOAD.JPG", Access::Read, 3, cut},    {"GROWN_AT_UPLOAD.JPG", Access::Read, 3, grow},
      {"GROWN_BEFORE_UPLOAD.JPG", Access::Open, 3, grow},
      {"CUT_AT_EXPORT.MOV", Access::Read, 2, cut},    {"GROWN_AT_EXPORT.MOV", Access::Read, 2, grow},
  };
  int sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = photos::PhotoLibrary::folder() / c.name;
    const platform::Bytes whole = file.extension() == ".MOV" ? testsupport::makeMovie(40 + sent, 24, 1.0)
                                                             : testsupport::makeJpeg(40 + sent, 12);
    testsupport::writeFile(file, whole);
    {
      FileFault changing(FileFault::changedAt(file, c.at, c.nth, c.change));
      const Report changed = backUp();
      ASSERT_TRUE(changed.finished);
      EXPECT_EQ(changed.uploaded, 0);
      ASSERT_EQ(changed.failures.size(), 1u);
      EXPECT_NE(changed.failures[0].description().find(std::string(c.name) + " changed while it was read"),
                std::string::npos)
          << changed.failures[0].description();
    }
    testsupport::writeFile(file, whole);
    const Report next = backUp();
    ASSERT_TRUE(next.finished);
    EXPECT_TRUE(next.failures.empty()) << next.failures.front().description();
    EXPECT_EQ(next.uploaded, 1);
    EXPECT_EQ(cloudImages()[1].size(), static_cast<std::size_t>(++sent));
  }
}

}  // namespace
