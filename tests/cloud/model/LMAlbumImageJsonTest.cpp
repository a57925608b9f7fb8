#include <gtest/gtest.h>

#include <chrono>

#include "cloud/model/LMAlbum.h"
#include "cloud/model/LMImage.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using namespace lumora;
using platform::Json;
using Time = platform::Clock::TimePoint;

Time at(std::int64_t ms) { return Time(std::chrono::milliseconds(ms)); }

TEST(LMAlbumImageJsonTest, AlbumReadsWhatHasTheRightKindAndWritesItsOwnKeys) {
  auto album = LMAlbum::initWithLumoraJSON({{"albumId", 5},
                                            {"id", 7},
                                            {"createTime", 0},
                                            {"lastUpdateTime", 1500},
                                            {"name", ""},
                                            {"description", "Summer"},
                                            {"thumbnailUrls", Json::array()},
                                            {"tag", "9"},
                                            {"status", 1},
                                            {"sharerCount", 2},
                                            {"totalImageCount", 40},
                                            {"totalSize", 1024}});
  EXPECT_EQ(album.serverID, 7);
  EXPECT_FALSE(album.creationDate);
  EXPECT_EQ(album.lastUpdateDate, at(1500));
  EXPECT_FALSE(album.name);
  EXPECT_EQ(album.note, "Summer");
  EXPECT_TRUE(album.thumbnailUrls.empty());
  EXPECT_FALSE(album.sync);
  EXPECT_EQ(album.totalImageCount, 40);
  EXPECT_EQ(album.dictionaryForLumoraJSON(), (Json{{"dateModified", 1500}, {"id", 7}, {"type", "group"}}));

  // Covers with their photos' orientations, in the same order: an entry
  // that is no whole number keeps its place as 1.
  auto covered = LMAlbum::initWithLumoraJSON(
      {{"id", 8}, {"thumbnailUrls", {"a", "b", "c"}}, {"thumbnailOrientations", {6, "8", 2.5, 5}}});
  EXPECT_EQ(covered.thumbnailUrls, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(covered.thumbnailOrientations, (std::vector<std::int64_t>{6, 1, 1, 5}));

  LMAlbum named;
  named.name = "Trips";
  named.sync = 3;
  named.creationDate = Time(std::chrono::microseconds(-1500500));  // before 1970: toward zero
  EXPECT_EQ(named.dictionaryForLumoraJSON(),
            (Json{{"dateTaken", -1500}, {"fileName", "Trips"}, {"tag", 3}, {"type", "group"}}));
}

TEST(LMAlbumImageJsonTest, ImageReadsPhotoWritesImageAndNeverClaimsTheCloudFlag) {
  const Json cloud = {{"id", 11},          {"status", "custom"}, {"type", "photo"},     {"tag", 4},
                      {"groupId", 7},      {"fileName", "a.JPG"}, {"dateTaken", 1500}, {"dateModified", -3},
                      {"size", 99},        {"mimeType", "image/JPG"}, {"title", "a"},  {"duration", 1.5},
                      {"sha1", "ab"},      {"shareId", ""},      {"exifInfo", {{"make", "Acme"}}},
                      {"isUbiImage", 1}};
  auto image = LMImage::initWithLumoraJSON(cloud);
  EXPECT_EQ(image.type, kLMAssetTypeImage);
  EXPECT_EQ(image.isUbiImage, true);
  EXPECT_FALSE(image.modifyDate);
  EXPECT_FALSE(image.shareID);
  EXPECT_EQ(image.duration, 1.5);
  EXPECT_EQ(image.dictionaryForLumoraJSON(),
            (Json{{"dateTaken", 1500}, {"exifInfo", {{"make", "Acme"}}}, {"fileName", "a.JPG"}, {"groupId", 7},
                  {"id", 11}, {"isUbiImage", "0"}, {"mimeType", "image/JPG"}, {"sha1", "ab"}, {"size", 99},
                  {"tag", 4}, {"title", "a"}, {"duration", 1.5}, {"type", "image"}}));

  // "Photo" in another case is no type, and then the flag is not read.
  auto other = LMImage::initWithLumoraJSON({{"type", "Photo"}, {"isUbiImage", 1}});
  EXPECT_FALSE(other.type);
  EXPECT_FALSE(other.isUbiImage);
  EXPECT_EQ(LMImage::initWithLumoraJSON({{"type", "video"}}).dictionaryForLumoraJSON()["type"], "video");
  for (const char* type : {kLMAssetTypeUnknown, ""}) {
    LMImage unknown;
    unknown.type = type;
    EXPECT_FALSE(unknown.dictionaryForLumoraJSON().contains("type"));
  }
  LMImage older;
  older.type = kLMAssetTypePhoto;
  EXPECT_EQ(older.dictionaryForLumoraJSON(), (Json{{"isUbiImage", "0"}, {"type", "image"}}));
}

TEST(LMAlbumImageJsonTest, TimesTheClockCannotHoldAreNoDates) {
  // Milliseconds past the year 2262 overflowed the clock's nanoseconds.
  for (double ms : {1.0e13, 9.1e15}) {
    EXPECT_FALSE(LMImage::initWithLumoraJSON({{"dateTaken", ms}}).creationDate) << ms;
    EXPECT_FALSE(LMAlbum::initWithLumoraJSON({{"createTime", ms}}).creationDate) << ms;
  }
  EXPECT_EQ(LMImage::initWithLumoraJSON({{"dateTaken", 9.0e12}}).creationDate, at(9000000000000));
}

TEST(LMAlbumImageJsonTest, LocalAlbumCountsTheWholeLibrary) {
  testsupport::TestHome home;
  namespace photos = platform::photos;
  ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
  testsupport::writeFile(photos::PhotoLibrary::folder() / "a.jpg", testsupport::makeJpeg(8, 8));
  testsupport::writeFile(photos::PhotoLibrary::folder() / "b.png", testsupport::makePng(8, 8));
  testsupport::writeFile(photos::PhotoLibrary::folder() / "c.mov", testsupport::makeMovie(8, 8, 1));
  auto library = photos::PhotoLibrary::sharedPhotoLibrary();
  std::string id;
  ASSERT_TRUE(library->performChangesAndWait(
      [&](photos::ChangeRequests& c) { id = c.creationRequestForAssetCollectionWithTitle("Empty"); }));
  auto collection = library->fetchAssetCollectionsWithLocalIdentifiers({id}).at(0);

  EXPECT_FALSE(LMAlbum::initWithAssetsGroup(nullptr));
  auto album = LMAlbum::initWithAssetsGroup(&collection);
  ASSERT_TRUE(album);
  EXPECT_EQ(album->name, "Empty");
  EXPECT_EQ(album->assetID, id);
  EXPECT_EQ(album->assetsGroupType, 1);
  EXPECT_EQ(album->totalImageCount, 2);
  EXPECT_EQ(album->totalVideoCount, 1);
}

}  // namespace
