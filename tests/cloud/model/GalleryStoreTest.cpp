#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <set>

#include "cloud/model/LMManagedAssetContext.h"
#include "utils/LMErrors.h"
#include "utils/LMUtils.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/storage/UserDefaults.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/Sanitizers.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using namespace lumora;
namespace fs = std::filesystem;
namespace photos = platform::photos;

class GalleryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::UserDefaults::resetStandardForTesting(); }
  void TearDown() override { platform::UserDefaults::resetStandardForTesting(); }

  static fs::path file() { return LMUtils::applicationDocumentsDirectory() / kLMGalleryDatabaseFileName; }
  static double storedVersion() {
    return platform::UserDefaults::standard().doubleForKey(kLMGalleryDatabaseVersionKey);
  }
  static LMAlbumRelation album(const std::string& assetID, std::int64_t serverID) {
    LMAlbumRelation relation;
    relation.assetID = assetID;
    relation.serverID = serverID;
    relation.serverSync = 1;
    return relation;
  }
  static LMImageRelation image(const std::string& assetID, std::int64_t serverID, const std::string& group) {
    return LMImageRelation{std::nullopt, assetID, serverID, 2, group, std::string(40, 'a'), 123};
  }

  testsupport::TestHome home;
};

TEST_F(GalleryStoreTest, CreatesKeepsAndReplacesAnOldFile) {
  {
    LMManagedAssetContext store;
    EXPECT_TRUE(fs::exists(file()));
    EXPECT_EQ(storedVersion(), kLMGalleryDatabaseVersion);
    auto relation = album("A", 1);
    ASSERT_TRUE(store.addAlbumRelation(relation));
  }
  EXPECT_EQ(LMManagedAssetContext().searchAllAlbumRelations()->size(), 1u);  // current: kept

  for (std::optional<double> old : {std::optional<double>(1.0), std::optional<double>()}) {
    if (old) platform::UserDefaults::standard().setDouble(kLMGalleryDatabaseVersionKey, *old);
    else platform::UserDefaults::standard().removeObjectForKey(kLMGalleryDatabaseVersionKey);
    {
      LMManagedAssetContext seed;
      auto relation = album("B", 2);
      seed.addAlbumRelation(relation);
    }
    if (old) platform::UserDefaults::standard().setDouble(kLMGalleryDatabaseVersionKey, *old);
    else platform::UserDefaults::standard().removeObjectForKey(kLMGalleryDatabaseVersionKey);
    LMManagedAssetContext upgraded;
    EXPECT_TRUE(upgraded.searchAllAlbumRelations()->empty());
    EXPECT_TRUE(upgraded.databaseError());
    EXPECT_EQ(storedVersion(), kLMGalleryDatabaseVersion);
  }

  // An old store that cannot be removed leaves the store unusable.
  fs::remove(file());
  fs::create_directories(file() / "in-the-way");
  platform::UserDefaults::standard().setDouble(kLMGalleryDatabaseVersionKey, 1.0);
  LMManagedAssetContext stuck;
  auto error = stuck.databaseError();
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error().code(), kLMLocalErrorDatabase);
  auto relation = album("C", 3);
  EXPECT_FALSE(stuck.addAlbumRelation(relation));
  EXPECT_EQ(storedVersion(), 1.0);
}

TEST_F(GalleryStoreTest, OpenedOnTheMainThreadTheTablesComeBeforeAnyRow) {
  bool added = false;
  platform::MainQueue::main().async([&] {
    LMManagedAssetContext store;
    auto relation = album("A", 1);
    added = store.addAlbumRelation(relation);
  });
  platform::MainQueue::main().runUntilIdle();
  EXPECT_TRUE(added);
}

TEST_F(GalleryStoreTest, AlbumRows) {
  LMManagedAssetContext store;
  auto first = album("local-1", 10);
  ASSERT_TRUE(store.addAlbumRelation(first));
  EXPECT_EQ(first.imagesSync, 0);
  EXPECT_EQ(first.imagesExtra, "");
  auto incomplete = album("local-2", 11);
  incomplete.serverSync.reset();
  EXPECT_FALSE(store.addAlbumRelation(incomplete));

  EXPECT_FALSE(store.searchAlbumRelationByAssetID("").value());
  EXPECT_FALSE(store.searchAlbumRelationByAssetID(std::nullopt).value());
  auto found = store.searchAlbumRelationByAssetID("local-1").value();
  ASSERT_TRUE(found);
  EXPECT_EQ(found->serverID, 10);
  EXPECT_TRUE(store.searchAlbumRelationsByServerID(std::nullopt)->empty());
  EXPECT_EQ(store.searchAlbumRelationsByServerID(10)->size(), 1u);
  EXPECT_TRUE(store.searchAlbumRelationsByServerID(99)->empty());

  found->imagesSync = 77;
  found->imagesExtra = "page-2";
  found->serverID = 12;
  ASSERT_TRUE(store.updateAlbumRelation(*found));
  EXPECT_EQ(store.searchAlbumRelationByAssetID("local-1").value(), found);
  LMAlbumRelation withoutRow = *found;
  withoutRow.primaryID.reset();
  EXPECT_FALSE(store.updateAlbumRelation(withoutRow));
  EXPECT_FALSE(store.deleteAlbumRelation(withoutRow));
  ASSERT_TRUE(store.deleteAlbumRelation(*found));
  EXPECT_TRUE(store.searchAllAlbumRelations()->empty());
  ASSERT_TRUE(store.addAlbumRelation(first));
  ASSERT_TRUE(store.deleteAllAlbumRelations());
  EXPECT_TRUE(store.searchAllAlbumRelations()->empty());
}

TEST_F(GalleryStoreTest, ImageRows) {
  LMManagedAssetContext store;
  ASSERT_TRUE(store.addImageRelation(image("a1", 100, "g1")));
  ASSERT_TRUE(store.addImageRelation(image("a2", 100, "g1")));
  ASSERT_TRUE(store.addImageRelation(image("a3", 101, "g2")));
  auto noSize = image("a4", 102, "g2");
  noSize.size.reset();
  EXPECT_FALSE(store.addImageRelation(noSize));
  EXPECT_EQ(store.searchAllImageRelations()->size(), 3u);

  EXPECT_EQ(store.searchImageRelationsByServerID(100)->size(), 1u);
  EXPECT_TRUE(store.searchImageRelationsByServerID(std::nullopt)->empty());
  EXPECT_EQ(store.searchAllImageRelationsByAlbumID("g1")->size(), 2u);
  EXPECT_TRUE(store.searchAllImageRelationsByAlbumID("")->empty());
  EXPECT_EQ(store.searchImageRelationByAssetID("a3")->at(0).serverID, 101);
  EXPECT_TRUE(store.searchImageRelationByAssetID("a3", "g2").value());
  EXPECT_FALSE(store.searchImageRelationByAssetID("a3", "g1").value());
  EXPECT_TRUE(store.searchImageRelationByServerID(101, "a3", "g2").value());
  EXPECT_FALSE(store.searchImageRelationByServerID(101, std::nullopt, "g2").value());

  auto row = **store.searchImageRelationByAssetID("a3", "g2");
  row.sha1 = std::string(40, 'b');
  row.serverSync = 9;
  ASSERT_TRUE(store.updateImageRelation(row));
  EXPECT_EQ(store.searchImageRelationByAssetID("a3", "g2").value(), row);
  ASSERT_TRUE(store.deleteImageRelation(row));
  ASSERT_TRUE(store.deleteAllImageRelationsInAlbum("g1"));
  EXPECT_TRUE(store.searchAllImageRelations()->empty());
  ASSERT_TRUE(store.addImageRelation(image("a1", 100, "g1")));
  ASSERT_TRUE(store.deleteAllImageRelations());
  EXPECT_TRUE(store.searchAllImageRelations()->empty());
}

TEST_F(GalleryStoreTest, PhotoLibraryAccessAlbumsAndWrites) {
  LMManagedAssetContext store;
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::NotDetermined));
  photos::PhotoLibrary::setAuthorizationAnswer(true);
  auto observer = std::make_shared<photos::ChangeObserver>();
  observer->photoLibraryDidChange = [](const photos::Change&) {};
  bool finished = false;
  store.addPhotoChangeNotificationObserver(observer, [&] { finished = true; });
  EXPECT_FALSE(finished);  // no access yet

  std::optional<std::pair<bool, bool>> answer;
  store.requestPhotoLibraryAuthorized([&](bool authorized, bool asked) {
    EXPECT_TRUE(platform::MainQueue::isMainThread());
    answer = {authorized, asked};
  });
  ASSERT_TRUE(platform::MainQueue::main().runUntil([&] { return answer.has_value(); },
                                                   testsupport::scaled(std::chrono::seconds(10))));
  EXPECT_EQ(answer, std::make_pair(true, true));
  store.requestPhotoLibraryAuthorized([&](bool authorized, bool asked) { answer = {authorized, asked}; });
  EXPECT_EQ(answer, std::make_pair(true, false));
  EXPECT_TRUE(store.isPhotoLibraryAuthorized());
  store.addPhotoChangeNotificationObserver(observer, [&] { finished = true; });
  EXPECT_TRUE(finished);
  store.removePhotoChangeNotificationObserver(observer);

  auto trips = store.addAssetsGroupWithName("Trips");
  ASSERT_TRUE(trips) << trips.error().description();
  auto cameraRoll = store.userLibraryAssetsGroup();
  ASSERT_TRUE(cameraRoll);
  auto groups = store.allSyncAssetsGroups();
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0], *trips);  // the user's albums first
  EXPECT_EQ(groups[1], *cameraRoll);
  EXPECT_EQ(store.assetsGroupWithAlbumId(trips->localIdentifier), *trips);
  EXPECT_FALSE(store.assetsGroupWithAlbumId("nothing"));

  const fs::path download = LMUtils::applicationCachesDirectoryPath() + "/d.jpg";
  testsupport::writeFile(download, testsupport::makeJpeg(8, 8));
  auto intoRoll = store.addAssetSource(download.string(), false, *cameraRoll);
  ASSERT_TRUE(intoRoll);
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  EXPECT_TRUE(library->fetchAssetsInAssetCollection(*trips).empty());  // only created
  auto intoTrips = store.addAssetSource(download.string(), false, *trips);
  ASSERT_TRUE(intoTrips);
  EXPECT_EQ(library->fetchAssetsInAssetCollection(*trips).size(), 1u);
  EXPECT_EQ(store.assetImageWithAssetID(intoTrips->localIdentifier), *intoTrips);
  EXPECT_FALSE(store.assetImageWithAssetID(""));
  EXPECT_TRUE(store.addAssetImage(*intoRoll, *trips));
  EXPECT_EQ(library->fetchAssetsInAssetCollection(*trips).size(), 2u);

  for (const std::string& bad : {std::string(), LMUtils::applicationCachesDirectoryPath()}) {
    auto saved = store.addAssetSource(bad, false, *trips);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().code(), kLMLocalErrorGeneral);
  }
  auto refused = store.deleteAsset(*intoRoll, *cameraRoll);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), kLMLocalErrorUnsupportedOperation);
  EXPECT_TRUE(store.deleteAsset(*intoRoll, *trips));
  EXPECT_EQ(library->fetchAssetsInAssetCollection(*trips).size(), 1u);
}

}  // namespace

namespace {

LMAlbum cloudAlbum(std::int64_t id, const std::string& name, std::int64_t status = 1) {
  LMAlbum album;
  album.serverID = id;
  album.name = name;
  album.status = status;
  album.sync = 100 + id;
  return album;
}

LMAlbum localAlbum(const std::string& assetID, const std::string& name) {
  LMAlbum album;
  album.assetID = assetID;
  album.name = name;
  return album;
}

LMImage cloudImage(std::int64_t id, const std::string& status) {
  LMImage image;
  image.serverID = id;
  image.status = status;
  return image;
}

}  // namespace

TEST_F(GalleryStoreTest, BackupMatchesAlbumsAndDropsWhatTheCloudNoLongerBacks) {
  LMManagedAssetContext store;
  for (auto relation : {album("kept", 10), album("cloudGone", 11), album("localGone", 12)}) {
    ASSERT_TRUE(store.addAlbumRelation(relation));
  }
  std::vector<LMAlbum> locals = {localAlbum("kept", "K"), localAlbum("cloudGone", "Trips"),
                                 localAlbum("named", "Family"), localAlbum("open", "New")};
  const std::vector<LMAlbum> clouds = {cloudAlbum(10, "K"), cloudAlbum(11, "Trips", 2), cloudAlbum(12, "L"),
                                       cloudAlbum(13, "Family"), cloudAlbum(14, "Trips")};
  EXPECT_EQ(store.localAddAlbums(), std::nullopt);
  ASSERT_TRUE(store.updateAlbumsWithLocalAlbums(locals, clouds));
  // A deleted cloud album's relation goes; the album takes the live one of its name.
  EXPECT_EQ(locals[0].serverID, 10);
  EXPECT_EQ(locals[1].serverID, 14);
  EXPECT_EQ(locals[2].serverID, 13);
  EXPECT_EQ(locals[3].serverID, std::nullopt);
  ASSERT_TRUE(store.localAddAlbums());
  ASSERT_EQ(store.localAddAlbums()->size(), 1u);
  EXPECT_EQ(store.localAddAlbums()->front().assetID, "open");
  std::map<std::string, std::int64_t> stored;
  const auto allRelations = store.searchAllAlbumRelations().value();
  for (const auto& relation : allRelations) stored[*relation.assetID] = *relation.serverID;
  EXPECT_EQ(stored, (std::map<std::string, std::int64_t>{{"kept", 10}, {"cloudGone", 14}, {"named", 13}}));

  // One cloud image backed up from two local albums, and two more.
  for (auto row : {image("a1", 1, "kept"), image("a1", 1, "named"), image("a2", 2, "kept"), image("a3", 3, "named")}) {
    ASSERT_TRUE(store.addImageRelation(row));
  }
  auto serverIDs = [&store] {
    std::multiset<std::int64_t> ids;
    const auto allRows = store.searchAllImageRelations().value();
    for (const auto& row : allRows) ids.insert(*row.serverID);
    return ids;
  };
  // Incremental: every row of a deleted or purged image goes, whatever album.
  EXPECT_TRUE(store.updateImageRelationsWithServerImages({cloudImage(1, "deleted"), cloudImage(2, "custom")},
                                                         {}, false));
  EXPECT_EQ(serverIDs(), (std::multiset<std::int64_t>{2, 3}));
  // Resync: rows of the given albums whose image is not listed live go.
  const auto kept = **store.searchAlbumRelationByAssetID(std::string("kept"));
  EXPECT_TRUE(store.updateImageRelationsWithServerImages({cloudImage(3, "custom"), cloudImage(2, "purged")},
                                                         {kept}, true));
  EXPECT_EQ(serverIDs(), (std::multiset<std::int64_t>{3}));

  EXPECT_TRUE(store.clearBackupData());
  EXPECT_TRUE(store.searchAllAlbumRelations()->empty());
  EXPECT_TRUE(store.searchAllImageRelations()->empty());
  EXPECT_EQ(store.localAddAlbums(), std::nullopt);
}

namespace {

// Relations that cannot be read stop the backup's matching instead of
// making every album new to the cloud.
TEST_F(GalleryStoreTest, UnreadableRelationsFailTheMatchingInsteadOfLookingEmpty) {
  LMManagedAssetContext store;
  ASSERT_TRUE(store.databaseQueue());
  store.databaseQueue()->inDatabase([](sqlite3* db) {
    ASSERT_EQ(sqlite3_exec(db, "drop table SyncAlbum; drop table SyncImage", nullptr, nullptr, nullptr), SQLITE_OK);
  });
  EXPECT_FALSE(store.searchAllAlbumRelations().ok());
  EXPECT_FALSE(store.searchAllImageRelations().ok());
  std::vector<LMAlbum> locals = {localAlbum("open", "New")};
  EXPECT_FALSE(store.updateAlbumsWithLocalAlbums(locals, {cloudAlbum(10, "K")}));
  EXPECT_EQ(store.localAddAlbums(), std::nullopt);
  EXPECT_FALSE(store.updateImageRelationsWithServerImages({cloudImage(3, "deleted")}, {}, false));
  // Nor does a look-up of one row read the failure as "no such row".
  EXPECT_FALSE(store.searchAlbumRelationByAssetID(std::string("open")));
  EXPECT_FALSE(store.searchAlbumRelationsByServerID(10));
  EXPECT_FALSE(store.searchImageRelationByAssetID(std::string("a"), std::string("g")));
  EXPECT_FALSE(store.searchImageRelationByServerID(3, std::string("a"), std::string("g")));
  EXPECT_FALSE(store.searchImageRelationsByServerID(3));
  EXPECT_FALSE(store.searchAllImageRelationsByAlbumID(std::string("g")));
  LMAlbumRelation related;
  related.assetID = "g";
  EXPECT_FALSE(store.updateImageRelationsWithServerImages({}, {related}, true));
}

}  // namespace
