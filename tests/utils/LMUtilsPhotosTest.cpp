#include <gtest/gtest.h>

#include <cmath>

#include "utils/LMUtils.h"
#include "platform/media/MediaProperties.h"
#include "platform/photos/AssetExportSession.h"
#include "support/TestMedia.h"

namespace {

using lumora::LMUtils;
using platform::Bytes;
using platform::Json;

TEST(LMUtilsPhotosTest, ExifSummaryOfAnImage) {
  const Json metadata = {
      {"{TIFF}", {{"Make", "Acme"}, {"Model", ""}, {"DateTime", "2021:05:06 07:08:09"}, {"Orientation", 6}}},
      {"{Exif}",
       {{"WhiteBalance", 0},
        {"FocalLength", 4.15},
        {"Flash", 16},
        {"ExposureTime", 0.25},
        {"ISOSpeedRatings", Json::array({100, 200})},
        {"FNumber", "2.2"}}},
      {"{GPS}",
       {{"Latitude", 31.2389},
        {"LatitudeRef", "N"},
        {"Longitude", 0.5},
        {"LongitudeRef", "W"},
        {"Altitude", 12.25},
        {"AltitudeRef", 0},
        {"DateStamp", "2021:05:06"},
        {"TimeStamp", "07:08:09.00"}}},
  };
  const Json expected = {{"make", "Acme"},
                         {"dateTime", "2021:05:06 07:08:09"},
                         {"orientation", 6},
                         {"whiteBalance", 0},
                         {"focalLength", "4.15"},
                         {"flash", 16},
                         {"exposureTime", "0.25"},
                         {"ISOSpeedRatings", "100"},
                         {"GPSLatitude", "31/1,14/1,20.040/1"},
                         {"GPSLatitudeRef", "N"},
                         {"GPSLongitude", "0/1,30/1,0.000/1"},
                         {"GPSLongitudeRef", "W"},
                         {"GPSAltitude", "12/1,15/1,0.000/1"},
                         {"GPSAltitudeRef", 0},
                         {"GPSDateStamp", "2021:05:06"},
                         {"GPSTimeStamp", "07:08:09.00"},
                         {"imageWidth", 4032},
                         {"imageLength", 3024}};
  EXPECT_EQ(LMUtils::exifInfoFromImageMetadata(metadata, 4032.9, 3024.2), expected);

  // No usable sub-dictionaries: only the size; an empty ISO list is left out.
  const Json bare = {{"{TIFF}", Json::object()}, {"{Exif}", {{"ISOSpeedRatings", Json::array()}}}, {"{GPS}", 3}};
  EXPECT_EQ(LMUtils::exifInfoFromImageMetadata(bare, 10, 20), (Json{{"imageWidth", 10}, {"imageLength", 20}}));
  EXPECT_FALSE(LMUtils::exifInfoFromImageMetadata(Json::object(), 10, 20));
  EXPECT_FALSE(LMUtils::exifInfoFromImageMetadata(Json::array({1}), 10, 20));

  EXPECT_EQ(LMUtils::gpsInfoConvert(-0.5), "0/1,30/1,0.000/1");
  EXPECT_EQ(LMUtils::exifInfoFromVideoLocation(platform::Location{1.5, -2.5, std::nullopt}, 640, 480),
            (Json{{"GPSLongitude", -2.5}, {"GPSLatitude", 1.5}, {"imageWidth", 640}, {"imageLength", 480}}));
  EXPECT_EQ(LMUtils::exifInfoFromVideoLocation(std::nullopt, 1, 2), (Json{{"imageWidth", 1}, {"imageLength", 2}}));
}

TEST(LMUtilsPhotosTest, ExifSummaryOfARealJpeg) {
  const Bytes jpeg = testsupport::makeJpeg(
      48, 32, {.orientation = 3, .dateTaken = "2019:12:31 23:59:58", .latitude = 22.5, .longitude = -113.25});
  auto properties = platform::imagePropertiesWithData(jpeg);
  ASSERT_TRUE(properties);
  auto exif = LMUtils::exifInfoFromImageMetadata(*properties, 48, 32);
  ASSERT_TRUE(exif);
  EXPECT_EQ((*exif)["orientation"], 3);
  EXPECT_EQ((*exif)["dateTime"], "2019:12:31 23:59:58");
  EXPECT_EQ((*exif)["GPSLatitude"], "22/1,30/1,0.000/1");
  EXPECT_EQ((*exif)["GPSLongitude"], "113/1,15/1,0.000/1");
  EXPECT_EQ((*exif)["GPSLongitudeRef"], "W");
}

TEST(LMUtilsPhotosTest, ImageTypeFromTheFirstBytes) {
  const std::pair<Bytes, std::optional<std::string>> cases[] = {
      {{}, std::nullopt},
      {{0xFF, 0xD8}, ".jpg"},
      {{0x89, 'P'}, ".png"},
      {{'G'}, ".gif"},
      {{'B', 'M'}, ".bmp"},
      {{'I', 'I'}, ".tiff"},
      {{'M', 'M'}, ".tiff"},
      {{'F'}, ".iff"},
      {{'R'}, ".ani"},
      {{0x0A}, ".pcx"},
      {{0x00, 0x00, 0x02, 0x00, 0x00}, ".tga"},
      {{0x00, 0x00, 0x10, 0x00, 0x00}, ".tga"},
      {{0x00, 0x00, 0x01, 0x00, 0x01, 0x00}, ".ico"},
      {{0x00, 0x00, 0x02, 0x00, 0x01}, ".cur"},
      {{0x00, 0x00, 0x01, 0x00, 0x02, 0x00}, std::nullopt},
      {{0x00, 0x00, 0x01, 0x00}, std::nullopt},  // too short to tell
      {{0x00}, std::nullopt},
      {{0x01}, std::nullopt},
  };
  for (const auto& [data, ext] : cases) EXPECT_EQ(LMUtils::extFromImageData(data), ext) << data.size();
}

TEST(LMUtilsPhotosTest, VideoContainerAlbumURLAndSafeFileNames) {
  namespace photos = platform::photos;
  const std::vector<std::string> all = {photos::kFileTypeQuickTimeMovie, photos::kFileTypeMPEG4,
                                        photos::kFileTypeAppleM4V, photos::kFileType3GPP, photos::kFileType3GPP2};
  const std::vector<std::string> noMPEG4 = {photos::kFileTypeQuickTimeMovie, photos::kFileTypeAppleM4V};
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("MP4", all), photos::kFileTypeMPEG4);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("MP4", noMPEG4), photos::kFileTypeQuickTimeMovie);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("sdv", all), photos::kFileType3GPP);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("3gp2", all), photos::kFileType3GPP2);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("m4v", all), photos::kFileTypeAppleM4V);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("qt", all), photos::kFileTypeQuickTimeMovie);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention("avi", noMPEG4), photos::kFileTypeQuickTimeMovie);
  EXPECT_EQ(LMUtils::videoTypeFromFileExtention(std::nullopt, noMPEG4), photos::kFileTypeQuickTimeMovie);
  EXPECT_FALSE(LMUtils::videoTypeFromFileExtention("mp4", {}));

  EXPECT_EQ(LMUtils::assetGroupURLFromAssetID("ABC"), "assets-library://group/?id=ABC");
  EXPECT_FALSE(LMUtils::assetGroupURLFromAssetID(""));
  for (std::int64_t n = -1; n <= 8; ++n) {
    const bool known = n >= 0 && n <= 7;
    EXPECT_EQ(static_cast<std::int64_t>(LMUtils::imageOrientationFromALAssetOrientation(n)), known ? n : 0) << n;
  }

  for (const char* bad : {"", ".", "..", "../x.jpg", "a/b.jpg", "/etc"}) {
    EXPECT_FALSE(LMUtils::isSafeFileName(bad)) << bad;
    EXPECT_FALSE(LMUtils::fileInDirectory("/tmp/caches", bad)) << bad;
  }
  EXPECT_FALSE(LMUtils::isSafeFileName(std::string("a\0b", 3)));
  EXPECT_EQ(LMUtils::fileInDirectory("/tmp/caches", "..jpg"), std::filesystem::path("/tmp/caches/..jpg"));
}

TEST(LMUtilsPhotosTest, UprightAndScaledPictures) {
  auto upright = platform::Image::imageWithData(testsupport::makeJpeg(30, 20));
  ASSERT_TRUE(upright);
  EXPECT_FALSE(LMUtils::imageRecoverOrientationWithImage(*upright));
  // A left-oriented 100 x 50 picture (50 x 100 stored) comes back 100 x 50 upright.
  auto left = platform::Image::imageWithData(testsupport::makeJpeg(50, 100, {.orientation = 8}));
  ASSERT_TRUE(left);
  auto turned = LMUtils::imageRecoverOrientationWithImage(*left);
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->orientation(), platform::ImageOrientation::Up);
  EXPECT_EQ(std::make_pair(turned->pixelWidth(), turned->pixelHeight()), std::make_pair(100, 50));

  auto scaled = LMUtils::scaleImage(*left, 64, 64);
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->width(), 64);
  EXPECT_FALSE(LMUtils::scaleImage(*left, 0, 64));
  EXPECT_FALSE(LMUtils::scaleImage(*left, 64, 0));
}

}  // namespace
