// Cloud images back into the photo library against the local cloud, through
// either interface of the library (system versions 9.3 and 7.1): a whole
// album downloaded into a fresh library, byte for byte (after a cancelled
// try), recorded so that a backup passes it over; the local albums a cloud
// album lands in; and the ways a single image is put in place (already
// there, added without a download, nothing taken).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "GalleryTestSupport.h"
#include "SignedRequestFixture.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"
#include "platform/device/Device.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
using lumora::LMAlbum;
using lumora::LMImage;
using platform::Bytes;
using platform::Error;

std::shared_ptr<photos::PhotoLibrary> library() { return photos::PhotoLibrary::sharedPhotoLibrary(); }

std::optional<photos::AssetCollection> albumTitled(const std::string& title) {
  for (auto& album : library()->fetchTopLevelUserCollections()) {
    if (album.localizedTitle == title) return album;
  }
  return std::nullopt;
}

photos::AssetCollection cameraRoll() {
  return library()->fetchAssetCollectionsWithType(photos::CollectionType::SmartAlbum,
                                                  photos::CollectionSubtype::SmartAlbumUserLibrary)[0];
}

std::string newAlbum(const std::string& title) {
  std::string id;
  EXPECT_TRUE(library()->performChangesAndWait(
      [&](photos::ChangeRequests& changes) { id = changes.creationRequestForAssetCollectionWithTitle(title); }));
  return id;
}

// The file put into the library, and into `albumID` when given.
photos::Asset addFile(const std::string& name, const Bytes& data, const std::string& albumID = "") {
  const fs::path folder = platform::AppHome::tmp() / "incoming";
  fs::create_directories(folder);
  const fs::path source = folder / name;
  testsupport::writeFile(source, data);
  std::string id;
  EXPECT_TRUE(library()->performChangesAndWait([&](photos::ChangeRequests& changes) {
    id = photos::PhotoLibrary::mediaTypeOfFile(source) == photos::MediaType::Video
             ? changes.creationRequestForAssetFromVideoAtFileURL(source)
             : changes.creationRequestForAssetFromImageAtFileURL(source);
    if (!albumID.empty()) changes.addAssets(albumID, {id});
  }));
  fs::remove_all(folder);
  return library()->fetchAssetsWithLocalIdentifiers({id}).at(0);
}

class GalleryDownloadTest : public signedtest::SignedRequestCloudTest {
 protected:
  void SetUp() override {
    SignedRequestCloudTest::SetUp();
    openLibrary();
  }
  void TearDown() override {
    gallery.reset();
    platform::Device::configure(savedFacts);
    SignedRequestCloudTest::TearDown();
  }

  void useSystemVersion(const std::string& version) {
    platform::DeviceFacts facts = savedFacts;
    facts.systemVersion = version;
    platform::Device::configure(facts);
  }
  // An asset's id as the running interface names it.
  static std::string assetID(const photos::Asset& asset) {
    return platform::Device::systemVersionIsAtLeast(8.0) ? asset.localIdentifier
                                                         : photos::AssetsLibrary::urlOfAsset(asset);
  }

  // The current app home's library, signed in, with an adapter of its own.
  void openLibrary() {
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    signInWithKnownKey();
    gallery = std::make_shared<lumora::LMImageSyncAdapter>();
  }

  LMAlbum createCloudAlbum(const std::string& name) {
    LMAlbum album;
    album.name = name;
    album.assetID = "local-" + name;
    offMain([&] {
      auto reply = gallery->requestCreateAlbum(album)->result();
      ASSERT_TRUE(reply.ok()) << reply.error().description();
      album = LMAlbum::initWithLumoraJSON((*reply)["data"]["content"]);
    });
    return album;
  }

  // Exports the asset and backs it up into the cloud album (through the
  // newer interface, whatever the test runs on).
  void backUp(const photos::Asset& asset, std::int64_t serverAlbum) {
    const std::string running = platform::Device::systemVersion();
    useSystemVersion("9.3");
    offMain([&] {
      auto image = LMImage::initWithAsset(&asset);
      ASSERT_TRUE(image && !image->error);
      image->assetGroupID = "elsewhere";
      image->serverGroupID = serverAlbum;
      auto backedUp = gallery->backupImage(*image);
      ASSERT_TRUE(backedUp) << backedUp.error().description();
    });
    useSystemVersion(running);
  }

  static std::int64_t byteTotal(const std::vector<LMImage>& images) {
    std::int64_t total = 0;
    for (const auto& image : images) total += image.size.value_or(0);
    return total;
  }

  std::vector<LMImage> cloudImages(std::int64_t serverAlbum) {
    std::vector<LMImage> listed;
    offMain([&] { listed = gallerytest::listCloudImages(*gallery, serverAlbum); });
    return listed;
  }

  std::optional<Error> download(const LMImage& image, const std::vector<std::string>& albums) {
    std::optional<Error> outcome;
    offMain([&] {
      if (auto done = gallery->downloadImageObject(image, albums, nullptr); !done) outcome = done.error();
    });
    return outcome;
  }

  std::size_t rowCount() { return gallery->context()->searchAllImageRelations()->size(); }

  std::shared_ptr<platform::ManualClock> clock = gallerytest::pacingFreeClock();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<lumora::LMImageSyncAdapter> gallery;
  platform::DeviceFacts savedFacts = platform::Device::configured();
};

class GalleryDownloadEitherInterfaceTest : public GalleryDownloadTest,
                                           public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    GalleryDownloadTest::SetUp();
    useSystemVersion(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(SystemVersions, GalleryDownloadEitherInterfaceTest, ::testing::Values("9.3", "7.1"));

TEST_P(GalleryDownloadEitherInterfaceTest, AWholeAlbumComesDownIntoAFreshLibraryByteForByteAndIsNotBackedUpAgain) {
  const LMAlbum family = createCloudAlbum("Family");
  Bytes large = testsupport::makeJpeg(64, 48);
  large.resize(4194304 + 1000, 0x5a);  // two blocks
  const std::map<std::string, Bytes> files = {{"IMG_0001.JPG", testsupport::makeJpeg(32, 24)},
                                              {"IMG_0002.JPG", large},
                                              {"MOV_0003.MOV", testsupport::makeMovie(320, 240, 2.5, 5000)}};
  for (const auto& [name, data] : files) backUp(addFile(name, data), *family.serverID);
  const std::vector<LMImage> images = cloudImages(*family.serverID);
  ASSERT_EQ(images.size(), files.size());
  const std::int64_t total = byteTotal(images);

  testsupport::TestHome fresh;
  openLibrary();
  // Cancelled while its first image comes down: the batch ends there.
  std::optional<Error> cancelled;
  offMain([&] {
    gallery->downloadAlbums(
        {family}, {{*family.serverID, images}}, total,
        [&](std::int64_t, std::int64_t, std::int64_t) { gallery->cancelSync(); },
        [&](const std::vector<LMImage>&, const std::optional<Error>& e) { cancelled = e; });
  });
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->code(), lumora::kLMLocalErrorCancelled);
  EXPECT_FALSE(gallery->isSyncing());
  EXPECT_LE(rowCount(), 2u);

  std::int64_t reported = 0;
  bool beyond = false;
  auto restore = [&] {
    std::vector<LMImage> failed;
    std::optional<Error> error;
    offMain([&] {
      gallery->downloadAlbums(
          {family}, {{*family.serverID, images}}, total,
          [&](std::int64_t, std::int64_t soFar, std::int64_t expected) {
            beyond = beyond || soFar > expected || expected != total;
            reported = soFar;
          },
          [&](const std::vector<LMImage>& f, const std::optional<Error>& e) {
            failed = f;
            error = e;
          });
    });
    EXPECT_TRUE(failed.empty());
    EXPECT_FALSE(error) << error->description();
  };
  restore();
  EXPECT_EQ(reported, total);
  EXPECT_FALSE(beyond);

  auto album = albumTitled("Family");
  ASSERT_TRUE(album);
  // The older interface names the files it writes itself: the contents
  // are what must match.
  std::multiset<Bytes> originals, restored;
  for (const auto& [name, data] : files) originals.insert(data);
  for (const auto& asset : library()->fetchAssetsInAssetCollection(*album)) {
    restored.insert(testsupport::readFile(asset.file));
  }
  EXPECT_TRUE(restored == originals);
  // What a backup's upload set asks of each album: every asset is related.
  for (const auto& group : {*album, cameraRoll()}) {
    for (const auto& asset : library()->fetchAssetsInAssetCollection(group)) {
      auto row = gallery->context()->searchImageRelationByAssetID(assetID(asset), group.localIdentifier).value();
      ASSERT_TRUE(row) << asset.file << " in " << group.localizedTitle;
      EXPECT_EQ(row->size, static_cast<std::int64_t>(fs::file_size(asset.file)));
    }
  }
  EXPECT_EQ(rowCount(), 2 * files.size());

  // Again: every image is in its album already; nothing fails or comes down.
  restore();
  EXPECT_EQ(library()->fetchAssetsWithMediaType(photos::MediaType::Image).size() +
                library()->fetchAssetsWithMediaType(photos::MediaType::Video).size(),
            files.size());
  EXPECT_EQ(rowCount(), 2 * files.size());
}

TEST_P(GalleryDownloadEitherInterfaceTest, ACloudAlbumLandsInTheLocalAlbumsItsNameAndRelationsGive) {
  const std::string model = platform::Device::model();
  const std::string trip1 = newAlbum("Trip");
  const std::string trip2 = newAlbum("Trip");
  const std::string family = newAlbum("Family");
  const std::string roll = cameraRoll().localIdentifier;
  const std::string screenshots = newAlbum("Screenshots");
  lumora::LMAlbumRelation gone;
  gone.assetID = "removed-album";
  gone.serverID = 11;
  gone.serverSync = 1;
  ASSERT_TRUE(gallery->context()->addAlbumRelation(gone));

  struct Case {
    std::int64_t serverID;
    std::string name;
    std::vector<std::string> ids;  // empty: one new album titled `title`
    std::string title;
  };
  const std::vector<Case> cases = {
      {1, "untitled", {roll}, ""},                // the camera roll's name here
      {2, "snapshot", {screenshots}, ""},
      {7, "untitled", {}, "untitled"},
      {8, "Photos from " + model, {roll}, ""},
      {9, "Trip_" + model, {trip1, trip2}, ""},
      {10, "Family", {family}, ""},
      {10, "Family", {family}, ""},  // now through its relation
      {11, "Gone", {}, "Gone"},      // the stale relation is dropped
  };
  for (const auto& c : cases) {
    LMAlbum cloud;
    cloud.serverID = c.serverID;
    cloud.name = c.name;
    cloud.sync = 3;
    std::optional<std::vector<std::string>> ids;
    gallery->albumSetToSaveAlbum(cloud, [&](const auto& found, const std::optional<Error>& error) {
      ASSERT_FALSE(error) << error->description();
      ids = found;
    });
    ASSERT_TRUE(ids) << c.name;
    if (c.ids.empty()) {
      auto created = albumTitled(c.title);
      ASSERT_TRUE(created) << c.title;
      EXPECT_EQ(*ids, std::vector<std::string>{created->localIdentifier}) << c.name;
    } else {
      EXPECT_EQ(*ids, c.ids) << c.name;
    }
    for (const auto& id : *ids) {
      EXPECT_EQ(gallery->context()->searchAlbumRelationByAssetID(id).value()->serverID, c.serverID) << c.name;
    }
  }
  EXPECT_FALSE(gallery->context()->searchAlbumRelationByAssetID("removed-album").value());
}

TEST_P(GalleryDownloadEitherInterfaceTest, AnImageIsAddedWithoutExportOrDownloadAndNothingTakenIsAFailure) {
  const std::string family = newAlbum("Family");
  const std::string trip = newAlbum("Trip");
  // An event takes nothing on either interface.
  const std::string event = library()->importSyncedEvent("Birthday", {}).value();
  const photos::Asset asset = addFile("IMG_0100.JPG", testsupport::makeJpeg(40, 30), trip);

  // In the library (in Trip) under an image the cloud does not even hold:
  // added to Family from the relation alone.
  LMImage known;
  known.serverID = 987654;
  known.sync = 4;
  lumora::LMImageRelation relation{std::nullopt, assetID(asset), 987654, 2, trip, "ab", 12};
  ASSERT_TRUE(gallery->context()->addImageRelation(relation));
  ASSERT_FALSE(download(known, {event, family}));
  const auto inFamily = library()->fetchAssetsInAssetCollection(*albumTitled("Family"));
  ASSERT_EQ(inFamily.size(), 1u);
  EXPECT_EQ(inFamily[0].localIdentifier, asset.localIdentifier);
  EXPECT_TRUE(fs::is_empty(platform::AppHome::tmp()));
  for (const auto& group : {family, cameraRoll().localIdentifier}) {
    auto row = gallery->context()->searchImageRelationByServerID(987654, assetID(asset), group).value();
    ASSERT_TRUE(row);
    EXPECT_EQ(row->serverSync, 4);
    EXPECT_EQ(row->sha1, "ab");
  }
  // Its relation names a target album: it is there already.
  ASSERT_TRUE(gallery->context()->deleteAllImageRelations());
  relation.assetGroupID = family;
  ASSERT_TRUE(gallery->context()->addImageRelation(relation));
  auto again = download(known, {family});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->code(), lumora::kLMLocalErrorAssetsGroup);
  EXPECT_TRUE(lumora::LMImageSyncAdapter::isImageAlreadyInAlbumError(*again)) << "told apart from a failed save";

  // No target album takes it: a failure, and no row claims an album.
  ASSERT_TRUE(gallery->context()->deleteAllImageRelations());
  relation.assetGroupID = trip;
  ASSERT_TRUE(gallery->context()->addImageRelation(relation));
  EXPECT_TRUE(download(known, {event}));
  EXPECT_TRUE(download(known, {"no-such-album"}));
  EXPECT_EQ(rowCount(), 1u);

  // Downloads: nowhere to save is a failure; a save refused by the first
  // album lands in the second.
  const LMAlbum holiday = createCloudAlbum("Holiday");
  backUp(addFile("IMG_0200.JPG", testsupport::makeJpeg(50, 40)), *holiday.serverID);
  const LMImage stored = cloudImages(*holiday.serverID).at(0);
  ASSERT_TRUE(gallery->context()->deleteAllImageRelations());
  const std::size_t assets = library()->fetchAssetsWithMediaType(photos::MediaType::Image).size();
  auto nowhere = download(stored, {"no-such-album"});
  ASSERT_TRUE(nowhere);
  EXPECT_EQ(nowhere->code(), lumora::kLMLocalErrorGeneral);
  EXPECT_EQ(library()->fetchAssetsWithMediaType(photos::MediaType::Image).size(), assets);
  EXPECT_EQ(rowCount(), 0u);
  EXPECT_FALSE(fs::exists(platform::AppHome::caches() / *stored.fileName));

  ASSERT_FALSE(download(stored, {event, family}));
  EXPECT_EQ(library()->fetchAssetsInAssetCollection(*albumTitled("Family")).size(), 2u);
  EXPECT_EQ(library()->fetchAssetsWithMediaType(photos::MediaType::Image).size(), assets + 1);  // no stray copy
  auto rows = gallery->context()->searchAllImageRelations().value();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].assetGroupID, family);
  EXPECT_EQ(rows[0].sha1, stored.sha1);

  // Into its own cloud album's local album, made for it: added from there.
  std::optional<Error> single = Error();
  offMain([&] { gallery->downloadImageObject(stored, holiday, nullptr, [&](const auto& e) { single = e; }); });
  EXPECT_FALSE(single) << single->description();
  EXPECT_FALSE(gallery->isSyncing());
  EXPECT_EQ(library()->fetchAssetsInAssetCollection(*albumTitled("Holiday")).size(), 1u);
}

}  // namespace

namespace {

// Every format the library takes, as a real file copied into its folder:
// read with its size as shown, its length and the time it was taken,
// backed up, and restored into a fresh library under its name with its
// bytes unchanged, read there the same.
TEST_F(GalleryDownloadTest, EveryFormatIsReadBackedUpAndRestoredByteForByte) {
  const LMAlbum album = createCloudAlbum("Formats");
  std::map<std::string, const testsupport::MediaSample*> samples;
  const auto expectRead = [](const photos::Asset& asset, const testsupport::MediaSample& sample) {
    EXPECT_EQ(asset.pixelWidth, sample.width);
    EXPECT_EQ(asset.pixelHeight, sample.height);
    EXPECT_NEAR(asset.duration, sample.seconds, 0.01);
  };
  for (const auto& sample : testsupport::mediaSamples()) {
    SCOPED_TRACE(sample.file);
    // Named as a phone names its files, the extension in capitals.
    const std::string name = "IMG_" + std::to_string(1001 + samples.size()) +
                             platform::upperCased(fs::path(sample.file).extension().string());
    samples[name] = &sample;
    testsupport::writeFile(photos::PhotoLibrary::folder() / name,
                           testsupport::readFile(testsupport::mediaSamplePath(sample.file)));
    const photos::MediaType type = sample.seconds > 0 ? photos::MediaType::Video : photos::MediaType::Image;
    std::optional<photos::Asset> asset;
    for (const auto& found : library()->fetchAssetsWithMediaType(type)) {
      if (found.file.filename() == name) asset = found;
    }
    ASSERT_TRUE(asset) << name << " is not in the library";
    expectRead(*asset, sample);
    if (const auto taken = testsupport::dateTakenOf(sample)) {
      EXPECT_EQ(asset->creationDate, *taken);
    }
    backUp(*asset, *album.serverID);
  }
  const std::vector<LMImage> images = cloudImages(*album.serverID);
  ASSERT_EQ(images.size(), samples.size());
  const std::int64_t total = byteTotal(images);

  testsupport::TestHome fresh;
  openLibrary();
  offMain([&] {
    gallery->downloadAlbums({album}, {{*album.serverID, images}}, total, nullptr,
                            [&](const std::vector<LMImage>& failed, const std::optional<Error>& error) {
                              EXPECT_TRUE(failed.empty());
                              EXPECT_FALSE(error) << error->description();
                            });
  });
  const auto restoredAlbum = albumTitled("Formats");
  ASSERT_TRUE(restoredAlbum);
  std::set<std::string> restored;
  for (const auto& asset : library()->fetchAssetsInAssetCollection(*restoredAlbum)) {
    const std::string name = asset.file.filename().string();
    SCOPED_TRACE(name);
    const auto sample = samples.find(name);
    ASSERT_NE(sample, samples.end()) << "restored under another name";
    restored.insert(name);
    expectRead(asset, *sample->second);
    EXPECT_TRUE(testsupport::readFile(asset.file) ==
                testsupport::readFile(testsupport::mediaSamplePath(sample->second->file)));
  }
  EXPECT_EQ(restored.size(), samples.size());
}

// A cloud file name is only ever a name in the downloads' own folder: one
// that matches a folder of the app's never touches it, and a folder at the
// name in the downloads' folder goes before the download.
TEST_F(GalleryDownloadTest, CloudFileNamesStayInTheDownloadFolderWhereAFolderAtOneGoes) {
  const std::string family = newAlbum("Family");
  const LMAlbum holiday = createCloudAlbum("Holiday");
  backUp(addFile("IMG_0300.JPG", testsupport::makeJpeg(50, 40)), *holiday.serverID);
  const LMImage stored = cloudImages(*holiday.serverID).at(0);
  ASSERT_TRUE(gallery->context()->deleteAllImageRelations());

  const fs::path logs = platform::AppHome::caches() / "Logs";
  fs::create_directories(logs);
  testsupport::writeFile(logs / "app.log", Bytes{1, 2, 3});
  LMImage named = stored;
  named.fileName = "Logs";
  (void)download(named, {family});
  EXPECT_TRUE(fs::exists(logs / "app.log"));

  const fs::path blocker = lumora::LMUtils::imageTransferDirectory() / *stored.fileName;
  fs::create_directories(blocker);
  const std::optional<Error> failed = download(stored, {family});
  EXPECT_FALSE(failed) << failed->description();
  EXPECT_FALSE(fs::exists(fs::symlink_status(blocker)));
}

// A download's name is the program's own: whatever lies there (a pipe, a
// link to a user's file, a folder with what it holds), or a link in the
// place of the downloads' folder, is cleared before the download, never
// what a link leads to, and the photo is restored.
TEST_F(GalleryDownloadTest, WhateverLiesAtADownloadsNameIsClearedAndThePhotoRestored) {
  const LMAlbum holiday = createCloudAlbum("Holiday");
  const Bytes photo = testsupport::makeJpeg(50, 40);
  backUp(addFile("IMG_0400.JPG", photo), *holiday.serverID);
  const LMImage stored = cloudImages(*holiday.serverID).at(0);
  struct Case {
    const char* what;
    std::function<void(const fs::path& transfers, const fs::path& users)> put;
  };
  const Case cases[] = {
      {"a pipe", [&](const fs::path& transfers, const fs::path&) {
         ASSERT_EQ(::mkfifo((transfers / *stored.fileName).c_str(), 0600), 0);
       }},
      {"a link to a user's file", [&](const fs::path& transfers, const fs::path& users) {
         fs::create_symlink(users / *stored.fileName, transfers / *stored.fileName);
       }},
      {"a link in the place of the folder", [&](const fs::path& transfers, const fs::path& users) {
         fs::remove_all(transfers);
         fs::create_directory_symlink(users, transfers);
       }},
      {"a folder holding links to the user's file and folder", [&](const fs::path& transfers, const fs::path& users) {
         const fs::path folder = transfers / *stored.fileName;
         testsupport::writeFile(folder / "left" / "part", Bytes{1, 2, 3});
         fs::create_symlink(users / *stored.fileName, folder / "photo");
         fs::create_directory_symlink(users, folder / "left" / "pictures");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestHome fresh;
    openLibrary();
    const fs::path users = fresh.root() / "Pictures";
    const Bytes theirs = testsupport::makeJpeg(20, 10);
    testsupport::writeFile(users / *stored.fileName, theirs);
    c.put(lumora::LMUtils::imageTransferDirectory(), users);
    const std::optional<Error> failed = download(stored, {newAlbum("Holiday")});
    EXPECT_FALSE(failed) << failed->description();
    const auto restored = library()->fetchAssetsWithMediaType(photos::MediaType::Image);
    EXPECT_EQ(restored.size(), 1u);
    for (const auto& asset : restored) EXPECT_EQ(testsupport::readFile(asset.file), photo);
    EXPECT_EQ(testsupport::readFile(users / *stored.fileName), theirs);
    EXPECT_FALSE(fs::exists(fs::symlink_status(lumora::LMUtils::imageTransferDirectory() / *stored.fileName)));
  }
}

}  // namespace
