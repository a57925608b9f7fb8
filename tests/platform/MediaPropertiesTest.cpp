#include <gtest/gtest.h>

#include <chrono>

#include "platform/media/MediaProperties.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using namespace platform;

TEST(MediaPropertiesTest, ReadsOrientationDateAndPositionFromARealJpeg) {
  const Bytes jpeg = testsupport::makeJpeg(64, 48, {.orientation = 6,
                                                    .dateTaken = "2021:05:06 07:08:09",
                                                    .latitude = -33.8568,
                                                    .longitude = 151.2153,
                                                    .altitude = -12.5,
                                                    .make = "Acme",
                                                    .model = "Cam 1",
                                                    .iso = 200});
  auto properties = imagePropertiesWithData(jpeg);
  ASSERT_TRUE(properties) << properties.error().description();
  const Json& p = *properties;
  EXPECT_EQ(p[kImagePropertyPixelWidth], 64);
  EXPECT_EQ(p[kImagePropertyPixelHeight], 48);
  EXPECT_EQ(p[kImagePropertyOrientation], 6);
  EXPECT_EQ(p["{TIFF}"]["Make"], "Acme");
  EXPECT_EQ(p["{TIFF}"]["Model"], "Cam 1");
  EXPECT_EQ(p["{Exif}"]["DateTimeOriginal"], "2021:05:06 07:08:09");
  EXPECT_EQ(p["{Exif}"]["ISOSpeedRatings"], Json::array({200}));
  EXPECT_EQ(p["{GPS}"]["LatitudeRef"], "S");
  EXPECT_EQ(p["{GPS}"]["LongitudeRef"], "E");
  EXPECT_NEAR(p["{GPS}"]["Latitude"].get<double>(), 33.8568, 1e-6);

  auto location = locationFromImageProperties(p);
  ASSERT_TRUE(location);
  EXPECT_NEAR(location->latitude, -33.8568, 1e-6);
  EXPECT_NEAR(location->longitude, 151.2153, 1e-6);
  EXPECT_NEAR(location->altitude.value_or(0), -12.5, 1e-9);

  using namespace std::chrono;
  EXPECT_EQ(dateTakenFromImageProperties(p),
            Clock::TimePoint(sys_days(2021y / May / 6) + 7h + 8min + 9s));

  // Read from the file as well; a picture without EXIF has only its size.
  testsupport::TestHome home;
  testsupport::writeFile(home.root() / "p.jpg", jpeg);
  EXPECT_EQ(imagePropertiesOfFile(home.root() / "p.jpg").value(), p);
  auto plain = imagePropertiesWithData(testsupport::makePng(10, 20));
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, (Json{{kImagePropertyPixelWidth, 10}, {kImagePropertyPixelHeight, 20}}));
  EXPECT_FALSE(locationFromImageProperties(*plain));
  EXPECT_FALSE(dateTakenFromImageProperties(*plain));
}

TEST(MediaPropertiesTest, ReadsMovieHeadersAndRefusesWhatItCannotRead) {
  testsupport::TestHome home;
  testsupport::writeFile(home.root() / "m.mov", testsupport::makeMovie(640, 360, 7.5));
  auto movie = videoPropertiesOfFile(home.root() / "m.mov");
  ASSERT_TRUE(movie) << movie.error().description();
  EXPECT_EQ(movie->pixelWidth, 640);
  EXPECT_EQ(movie->pixelHeight, 360);
  EXPECT_DOUBLE_EQ(movie->duration, 7.5);
  EXPECT_FALSE(movie->creationDate);

  testsupport::writeFile(home.root() / "bad.mov", Bytes(100, 0x11));
  EXPECT_FALSE(videoPropertiesOfFile(home.root() / "bad.mov"));
  EXPECT_FALSE(videoPropertiesOfFile(home.root() / "missing.mov"));
  EXPECT_FALSE(imagePropertiesWithData(Bytes{}));
  auto corrupt = imagePropertiesWithData(Bytes(64, 0x42));
  ASSERT_FALSE(corrupt);
  EXPECT_EQ(corrupt.error().domain(), kMediaErrorDomain);
  // Cut short, a JPEG's header may still be read; it never crashes.
  Bytes cut = testsupport::makeJpeg(32, 32, {.orientation = 3});
  cut.resize(40);
  (void)imagePropertiesWithData(cut);
}

// A HEIC as a phone writes it (stored on its side, turned by the file's
// own transform and its EXIF): its size as shown and its EXIF, from the
// file and from its bytes alike, with no turn left for anyone to make. A
// movie in the same container is no picture.
TEST(MediaPropertiesTest, AHeicIsReadAsShownWithItsExifAndAnMpeg4MovieIsNoPicture) {
  const auto file = testsupport::mediaSamplePath("photo.heic");
  auto properties = imagePropertiesOfFile(file);
  ASSERT_TRUE(properties) << properties.error().description();
  const Json& p = *properties;
  EXPECT_EQ(p[kImagePropertyPixelWidth], 48);
  EXPECT_EQ(p[kImagePropertyPixelHeight], 80);
  EXPECT_FALSE(p.contains(kImagePropertyOrientation));
  EXPECT_EQ(p.value("{TIFF}", Json()), (Json{{"Make", "Lumora"}}));
  EXPECT_EQ(p.value("{Exif}", Json::object()).value("DateTimeOriginal", ""), "2023:07:14 09:30:15");
  Bytes data = testsupport::readFile(file);
  EXPECT_EQ(imagePropertiesWithData(data).valueOr(Json()), p);

  // Cut short inside its header, it is no picture.
  data.resize(100);
  auto cut = imagePropertiesWithData(data);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().domain(), kMediaErrorDomain);

  for (const char* movie : {"movie.mp4", "movie.m4v", "movie.3gp"}) {
    EXPECT_FALSE(imagePropertiesOfFile(testsupport::mediaSamplePath(movie))) << movie;
  }
}

}  // namespace
