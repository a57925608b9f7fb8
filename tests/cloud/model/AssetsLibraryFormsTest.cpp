// The gallery store and the album and image records on the older
// photo-library interface (system versions below 8.0), over the same library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "cloud/model/LMManagedAssetContext.h"
#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/device/Device.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/photos/AssetsLibrary.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/storage/UserDefaults.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"

namespace {

using namespace lumora;
namespace fs = std::filesystem;
namespace photos = platform::photos;

class AssetsLibraryFormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetStandardForTesting();
    useSystemVersion("7.1");
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  }
  void TearDown() override {
    platform::Device::configure(saved_);
    platform::UserDefaults::resetStandardForTesting();
  }
  void useSystemVersion(const char* version) {
    platform::DeviceFacts facts = saved_;
    facts.systemVersion = version;
    platform::Device::configure(facts);
  }
  static fs::path libraryFile(const std::string& name) { return photos::PhotoLibrary::folder() / name; }
  photos::AssetsGroup savedPhotos() {
    auto groups = store.assetsGroups(photos::kGroupSavedPhotos, library).value();
    EXPECT_EQ(groups.size(), 1u);
    return groups.at(0);
  }

  testsupport::TestHome home;
  platform::DeviceFacts saved_ = platform::Device::configured();
  LMManagedAssetContext store;
  photos::AssetsLibrary library;
};

TEST_F(AssetsLibraryFormsTest, RecordsComeFromGroupsAssetsAndRepresentations) {
  testsupport::TestExif exif;
  exif.orientation = 6;
  exif.make = "Maker";
  testsupport::writeFile(libraryFile("IMG_0001.JPG"), testsupport::makeJpeg(40, 30, exif));
  testsupport::writeFile(libraryFile("MOV_0001.MOV"), testsupport::makeMovie(32, 24, 2.0));
  photos::AssetsGroup roll = savedPhotos();

  auto album = LMAlbum::initWithAssetsGroup(&roll, library);
  ASSERT_TRUE(album);
  EXPECT_EQ(album->assetID, roll.persistentID);
  EXPECT_EQ(album->assetUrl, LMUtils::assetGroupURLFromAssetID(roll.persistentID));
  EXPECT_EQ(album->assetsGroupType, photos::kGroupSavedPhotos);
  EXPECT_EQ(album->totalImageCount, 1);
  EXPECT_EQ(album->totalVideoCount, 1);
  EXPECT_EQ(roll.filter, photos::AssetsFilter::AllVideos);  // left as the count left it

  auto ids = store.allBackupImageIDsInAlbum(savedPhotos(), library).value();
  ASSERT_EQ(ids.size(), 2u);
  for (const auto& id : ids) {
    auto asset = store.assetImageWithAssetID(id, library).value();
    ASSERT_TRUE(asset) << id;
    auto image = LMImage::initWithAsset(&*asset);
    ASSERT_TRUE(image && !image->error) << id;
    const auto representation = asset->defaultRepresentation();
    EXPECT_EQ(image->assetID, id);
    EXPECT_EQ(image->fileName, representation->filename());
    EXPECT_EQ(image->size, representation->size());
    EXPECT_EQ(fs::file_size(*image->filePath), static_cast<std::uintmax_t>(*image->size));
    EXPECT_EQ(image->blockInfos.size(), 1u);
    if (asset->type == photos::kAssetTypePhoto) {
      EXPECT_EQ(image->type, kLMAssetTypePhoto);
      EXPECT_EQ(image->mimeType, "image/JPG");
      EXPECT_EQ(image->exifInfo["make"], "Maker");
      EXPECT_EQ(LMUtils::imageOrientationFromALAssetOrientation(static_cast<int>(representation->orientation())),
                platform::ImageOrientation::Right);
    } else {
      EXPECT_EQ(image->type, kLMAssetTypeVideo);
      EXPECT_DOUBLE_EQ(image->duration.value_or(0), 2.0);
    }
  }
  // The upload set of an album goes by its URL, of the events by type:
  // every event group's, though the groups of a backup leave events out.
  const fs::path incoming = home.root() / "incoming";
  testsupport::writeFile(incoming / "A.JPG", testsupport::makeJpeg(20, 10));
  testsupport::writeFile(incoming / "B.JPG", testsupport::makeJpeg(22, 10));
  auto photoLibrary = photos::PhotoLibrary::sharedPhotoLibrary();
  ASSERT_TRUE(photoLibrary->importSyncedEvent("Birthday", {incoming / "A.JPG"}));
  ASSERT_TRUE(photoLibrary->importSyncedEvent("Holiday", {incoming / "B.JPG"}));
  EXPECT_EQ(store.searchAllUploadImagesFromAlbum(*album)->size(), 4u);
  LMAlbum events;
  events.assetsGroupType = photos::kGroupEvent;
  EXPECT_EQ(store.searchAllUploadImagesFromAlbum(events)->size(), 2u);
  const auto eventGroups = store.assetsGroups(photos::kGroupEvent, library).value();
  ASSERT_EQ(eventGroups.size(), 2u);
  EXPECT_FALSE(eventGroups[0].editable);
  EXPECT_EQ(store.allSyncAssetsGroups(library)->size(), 1u);
  // Each interface's records come only from its own objects.
  EXPECT_FALSE(store.assetImageWithAssetID(std::string("assets-library://asset/asset.JPG?id=none"), library).value());
  const auto newer = photos::PhotoLibrary::sharedPhotoLibrary()->fetchAssetsWithMediaType(photos::MediaType::Image);
  EXPECT_FALSE(LMImage::initWithAsset(&newer.at(0)));
  useSystemVersion("9.3");
  auto asset = store.assetImageWithAssetID(ids[0], library).value();
  EXPECT_FALSE(LMImage::initWithAsset(&*asset));
  EXPECT_FALSE(LMAlbum::initWithAssetsGroup(&roll, library)->assetID);
}

TEST_F(AssetsLibraryFormsTest, AlbumsAndSavedFilesAndTheirRefusals) {
  EXPECT_FALSE(store.addAssetsGroupWithName("", library).value());
  auto trips = store.addAssetsGroupWithName("Trips", library).value();
  ASSERT_TRUE(trips);
  EXPECT_TRUE(trips->editable);
  EXPECT_FALSE(store.addAssetsGroupWithName("Trips", library).value());  // the library keeps one of a name
  EXPECT_EQ(store.allSyncAssetsGroups(library)->size(), 2u);
  EXPECT_EQ(store.assetsGroupWithAlbumURL(trips->url, library).value(), trips);

  const fs::path download = LMUtils::applicationCachesDirectoryPath() + "/d.jpg";
  testsupport::writeFile(download, testsupport::makeJpeg(8, 8));
  photos::AssetsGroup roll = savedPhotos();
  auto intoRoll = store.addAssetSource(download.string(), false, roll, library);
  ASSERT_TRUE(intoRoll) << intoRoll.error().description();
  EXPECT_EQ(library.numberOfAssets(*trips), 0);  // only in the camera roll
  auto intoTrips = store.addAssetSource(download.string(), false, *trips, library);
  ASSERT_TRUE(intoTrips);
  EXPECT_EQ(library.numberOfAssets(*trips), 1);
  EXPECT_TRUE(store.addALAsset(*intoRoll, trips, library));
  EXPECT_EQ(library.numberOfAssets(*trips), 2);
  for (const auto& group : {std::optional<photos::AssetsGroup>(roll), std::optional<photos::AssetsGroup>()}) {
    auto refused = store.addALAsset(*intoRoll, group, library);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), kLMLocalErrorAssetsGroup);
    EXPECT_FALSE(LMImageSyncAdapter::isImageAlreadyInAlbumError(refused.error())) << "nothing was there before";
  }
  // An event takes no save, and leaves no copy in the camera roll.
  ASSERT_TRUE(photos::PhotoLibrary::sharedPhotoLibrary()->importSyncedEvent("Birthday", {}));
  const auto before = library.numberOfAssets(roll);
  auto intoEvent = store.addAssetSource(download.string(), false,
                                        store.assetsGroups(photos::kGroupEvent, library)->at(0), library);
  ASSERT_FALSE(intoEvent);
  EXPECT_EQ(intoEvent.error().code(), kLMLocalErrorAssetsGroup);
  EXPECT_EQ(library.numberOfAssets(roll), before);

  // The older interface asks for access itself: a request asks nobody.
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::NotDetermined));
  std::optional<std::pair<bool, bool>> answer;
  store.requestPhotoLibraryAuthorized([&](bool authorized, bool asked) { answer = {authorized, asked}; });
  EXPECT_EQ(answer, std::make_pair(true, true));
  EXPECT_EQ(photos::AssetsLibrary::authorizationStatus(), photos::AuthorizationStatus::NotDetermined);
  auto denied = store.allSyncAssetsGroups(library);
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().code(), photos::kAssetsLibraryErrorAccessDenied);
}

TEST_F(AssetsLibraryFormsTest, ObserversHearChangesThroughTheNotificationCentre) {
  std::atomic<int> heardByKept{0};
  std::atomic<int> heardByRemoved{0};
  auto kept = std::make_shared<photos::ChangeObserver>();
  kept->photoLibraryDidChange = [&](const photos::Change&) { ++heardByKept; };
  auto removed = std::make_shared<photos::ChangeObserver>();
  removed->photoLibraryDidChange = [&](const photos::Change&) { ++heardByRemoved; };
  int finished = 0;
  store.addPhotoChangeNotificationObserver(kept, [&] { ++finished; });
  store.addPhotoChangeNotificationObserver(removed, [&] { ++finished; });
  EXPECT_EQ(finished, 2);
  store.removePhotoChangeNotificationObserver(removed);

  testsupport::writeFile(libraryFile("IMG_0001.JPG"), testsupport::makeJpeg(8, 8));
  photos::PhotoLibrary::sharedPhotoLibrary()->rescan();
  // One post reaches every observer still registered at once.
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return heardByKept > 0; },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(heardByRemoved, 0);
  store.removePhotoChangeNotificationObserver(kept);
}

}  // namespace
