#include <gtest/gtest.h>

#include <vips/vips8>

#include <cmath>
#include <string>

#include "platform/media/Image.h"
#include "platform/addressbook/AddressBook.h"
#include "support/TestHome.h"
#include "support/TestMedia.h"

namespace {

using platform::Bytes;
using platform::Image;
using platform::ImageOrientation;

// The colour at (x, y) of an encoded picture: 'r', 'b' or '?'.
char colourAt(const Bytes& encoded, int x, int y) {
  auto picture = vips::VImage::new_from_buffer(encoded.data(), encoded.size(), "");
  auto pixel = picture.getpoint(x, y);
  if (pixel[0] > 150 && pixel[2] < 100) return 'r';
  if (pixel[2] > 150 && pixel[0] < 100) return 'b';
  return '?';
}

std::pair<int, int> sizeOf(const Bytes& encoded) {
  auto picture = vips::VImage::new_from_buffer(encoded.data(), encoded.size(), "");
  return {picture.width(), picture.height()};
}

// A 40 x 20 picture, red on the left, shown in each EXIF orientation, comes
// out upright with the red half where the orientation puts it.
TEST(ImageTest, TurnsEveryOrientationUpright) {
  struct Case {
    int exif;
    ImageOrientation orientation;
    int width, height;     // as shown
    int redX, redY;        // a point of the red half, upright
  };
  const Case cases[] = {
      {1, ImageOrientation::Up, 40, 20, 5, 10},
      {2, ImageOrientation::UpMirrored, 40, 20, 35, 10},
      {3, ImageOrientation::Down, 40, 20, 35, 10},
      {4, ImageOrientation::DownMirrored, 40, 20, 5, 10},
      {6, ImageOrientation::Right, 20, 40, 10, 5},
      {8, ImageOrientation::Left, 20, 40, 10, 35},
      {5, ImageOrientation::LeftMirrored, 20, 40, 10, 5},
      {7, ImageOrientation::RightMirrored, 20, 40, 10, 35},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exif);
    auto image = Image::imageWithData(testsupport::makeJpeg(40, 20, {.orientation = c.exif}));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->orientation(), c.orientation);
    EXPECT_EQ(std::make_pair(image->width(), image->height()), std::make_pair(c.width, c.height));
    EXPECT_EQ(std::make_pair(image->pixelWidth(), image->pixelHeight()), std::make_pair(40, 20));
    auto png = image->uprightImage().PNGRepresentation();
    ASSERT_TRUE(png);
    EXPECT_EQ(sizeOf(*png), std::make_pair(c.width, c.height));
    EXPECT_EQ(colourAt(*png, c.redX, c.redY), 'r');
  }
}

TEST(ImageTest, ScalesToFillAndRefusesSizesThatCannotBeDrawn) {
  auto wide = Image::imageWithData(testsupport::makePng(100, 50));
  ASSERT_TRUE(wide);
  // Landscape: scaled by height, the middle kept; both halves still show.
  auto square = wide->scaledToFill(40, 40);
  ASSERT_TRUE(square);
  auto png = square->PNGRepresentation();
  ASSERT_TRUE(png);
  EXPECT_EQ(sizeOf(*png), std::make_pair(40, 40));
  EXPECT_EQ(colourAt(*png, 2, 20), 'r');
  EXPECT_EQ(colourAt(*png, 37, 20), 'b');

  auto tall = Image::imageWithData(testsupport::makeJpeg(100, 50, {.orientation = 6}));
  ASSERT_TRUE(tall);
  auto strip = tall->scaledToFill(30, 10);
  ASSERT_TRUE(strip);
  EXPECT_EQ(sizeOf(*strip->JPEGRepresentation()), std::make_pair(30, 10));

  for (auto [w, h] : {std::pair{0.0, 10.0}, {10.0, 0.0}, {-5.0, 10.0}, {NAN, 10.0}, {10.0, 1e9}}) {
    auto refused = wide->scaledToFill(w, h);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code(), platform::kImageErrorInvalidSize);
  }
}

TEST(ImageTest, CorruptAndTruncatedDataIsRefusedWithAnError) {
  EXPECT_FALSE(Image::imageWithData({}));
  EXPECT_FALSE(Image::imageWithData(Bytes{0xFF, 0xD8, 0x00, 0x01}));
  EXPECT_FALSE(Image::imageWithData(Bytes(300, 0x42)));
  EXPECT_FALSE(Image::imageWithContentsOfFile("/nonexistent/picture.jpg"));

  // The library's own warnings about the damage are not printed: the
  // error is what the caller gets.
  Bytes jpeg = testsupport::makeJpeg(400, 300);
  jpeg.resize(jpeg.size() / 2);
  testing::internal::CaptureStderr();
  auto truncated = Image::imageWithData(jpeg);
  if (truncated) {
    auto encoded = truncated->JPEGRepresentation();
    ASSERT_FALSE(encoded);
    EXPECT_EQ(encoded.error().domain(), platform::kImageErrorDomain);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A picture to be shown is refused past the pixel bound by its header, and
// is otherwise decoded at once, upright, no larger than covers its box.
TEST(ImageTest, PicturesToBeShownAreBoundedAndDecodedAtTheSizeShown) {
  struct Case {
    const char* what;
    Bytes data;
    int boxWidth, boxHeight;
    std::int64_t error;        // 0: decoded
    int width = 0, height = 0;  // as decoded, upright
    int storedWidth = 0;        // upright
    char top = '?';             // colour at the middle of the top rows
  } cases[] = {
      {"a pixel bomb", testsupport::makePixelBombPng(60000, 60000), 200, 200, platform::kImageErrorTooLarge},
      {"just past the bound", testsupport::makePixelBombPng(10000, 10001), 200, 200, platform::kImageErrorTooLarge},
      {"shrunk to cover its box", testsupport::makeJpeg(2000, 1000), 100, 100, 0, 200, 100, 2000},
      {"turned upright first", testsupport::makeJpeg(2000, 1000, {.orientation = 6}), 100, 100, 0, 100, 200, 1000,
       'r'},
      {"never enlarged", testsupport::makePng(8, 6), 100, 100, 0, 8, 6, 8},
      {"a long side four boxes at most", testsupport::makeJpeg(8000, 100), 100, 100, 0, 400, 5, 8000},
      {"no box", testsupport::makePng(8, 6), 0, 100, platform::kImageErrorInvalidSize},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    double shrink = 0;
    auto shown = Image::shownImageWithData(std::move(c.data), c.boxWidth, c.boxHeight, &shrink);
    if (c.error != 0) {
      ASSERT_FALSE(shown);
      EXPECT_EQ(shown.error().code(), c.error);
      continue;
    }
    ASSERT_TRUE(shown);
    EXPECT_EQ(std::make_pair(shown->width(), shown->height()), std::make_pair(c.width, c.height));
    EXPECT_NEAR(shrink, static_cast<double>(c.width) / c.storedWidth, 1e-9);
    auto pixels = shown->RGBARepresentation();
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->size(), static_cast<std::size_t>(c.width) * c.height * 4);
    if (c.top != '?') {
      EXPECT_EQ(colourAt(*shown->PNGRepresentation(), c.width / 2, 2), c.top);
    }
  }
}

// The quarter of a drawn picture at (x, y): 'r', 'g', 'b', 'w' or '?'.
char quarterAt(const Bytes& rgba, int width, int x, int y) {
  const auto* at = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
  const bool r = at[0] > 180, g = at[1] > 180, b = at[2] > 180;
  if (r && g && b) return 'w';
  if (r && !g && !b) return 'r';
  if (g && !r && !b) return 'g';
  if (b && !r && !g) return 'b';
  return '?';
}

// A photo is drawn from its file at exactly the size asked, upright for
// every orientation its camera wrote, filling its box or fitting in it; a
// HEIC that holds a thumbnail of its own is drawn from it while that is
// large enough, upright all the same; sizes that cannot be drawn and files
// that are no photo are refused.
TEST(ImageTest, PhotosAreDrawnFromTheirFilesUprightAtTheSizeAsked) {
  testsupport::TestHome home;
  struct Box {
    bool fill;
    int width, height;
    int right, bottom;  // a point in the right and the bottom quarters
  };
  // Shown 120 x 80: filled into 60 x 60 its sides are cut; fitted, 60 x 40.
  const Box boxes[] = {{true, 60, 60, 50, 50}, {false, 60, 40, 50, 30}};
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const auto file = home.root() / ("turned-" + std::to_string(orientation) + ".jpg");
    testsupport::writeFile(file, testsupport::makeQuadrantJpeg(120, 80, orientation));
    for (const Box& box : boxes) {
      SCOPED_TRACE(std::to_string(orientation) + (box.fill ? " filled" : " fitted"));
      bool fromOwnThumbnail = true;
      auto drawn = Image::drawnFromFile(file, 60, 60, box.fill, &fromOwnThumbnail);
      ASSERT_TRUE(drawn) << drawn.error().description();
      EXPECT_FALSE(fromOwnThumbnail);
      ASSERT_EQ(std::make_pair(drawn->width(), drawn->height()), std::make_pair(box.width, box.height));
      EXPECT_EQ(drawn->orientation(), ImageOrientation::Up);
      const Bytes rgba = drawn->RGBARepresentation().value();
      const std::string quarters = {quarterAt(rgba, box.width, 10, 10), quarterAt(rgba, box.width, box.right, 10),
                                    quarterAt(rgba, box.width, 10, box.bottom),
                                    quarterAt(rgba, box.width, box.right, box.bottom)};
      EXPECT_EQ(quarters, "rgbw");
    }
  }

  // Shown 96 x 160, its own thumbnail 48 x 80: filled into 40 x 40 it is
  // drawn 40 x 67 before the cut, which the thumbnail covers at half; into
  // 150 x 150 (150 x 250) it does not.
  const struct {
    const char* file;
    int side;
    bool fromOwnThumbnail;
  } heics[] = {{"photo-thumbnail.heic", 40, true}, {"photo-thumbnail.heic", 150, false}, {"photo.heic", 40, false}};
  for (const auto& heic : heics) {
    SCOPED_TRACE(std::string(heic.file) + " " + std::to_string(heic.side));
    bool fromOwnThumbnail = !heic.fromOwnThumbnail;
    auto drawn = Image::drawnFromFile(testsupport::mediaSamplePath(heic.file), heic.side, heic.side, true,
                                      &fromOwnThumbnail);
    ASSERT_TRUE(drawn) << drawn.error().description();
    EXPECT_EQ(fromOwnThumbnail, heic.fromOwnThumbnail);
    ASSERT_EQ(std::make_pair(drawn->width(), drawn->height()), std::make_pair(heic.side, heic.side));
    const Bytes rgba = drawn->RGBARepresentation().value();
    // Stored red on the left, turned a quarter clockwise: red above.
    EXPECT_GT(rgba[static_cast<std::size_t>(heic.side / 2) * 4], 150) << "red above";
    EXPECT_LT(rgba[static_cast<std::size_t>(heic.side / 2) * 4 + 2], 100) << "red above";
    const std::size_t bottom = (static_cast<std::size_t>(heic.side - 2) * heic.side + heic.side / 2) * 4;
    EXPECT_GT(rgba[bottom + 2], 150) << "blue below";
    EXPECT_LT(rgba[bottom], 100) << "blue below";
  }

  const auto photo = home.root() / "turned-1.jpg";
  const auto notAPhoto = home.root() / "not-a-photo.jpg";
  testsupport::writeFile(notAPhoto, Bytes(300, 0x5a));
  const auto truncated = home.root() / "truncated.jpg";
  const Bytes whole = testsupport::readFile(photo);
  testsupport::writeFile(truncated, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
  const struct {
    std::filesystem::path file;
    double side;
    std::int64_t error;
  } refused[] = {{photo, 0, platform::kImageErrorInvalidSize},
                 {photo, std::nan(""), platform::kImageErrorInvalidSize},
                 {photo, 70000, platform::kImageErrorInvalidSize},
                 {notAPhoto, 60, platform::kImageErrorUndecodable},
                 {truncated, 60, platform::kImageErrorUndecodable},
                 {home.root() / "missing.jpg", 60, platform::kImageErrorUndecodable}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.file.filename().string() + " " + std::to_string(c.side));
    auto drawn = Image::drawnFromFile(c.file, c.side, c.side, true);
    ASSERT_FALSE(drawn);
    EXPECT_EQ(drawn.error().domain(), platform::kImageErrorDomain);
    EXPECT_EQ(drawn.error().code(), c.error);
  }
}

TEST(ImageTest, ContactThumbnailIsTheStoredPictureScaledDown) {
  testsupport::TestHome home;
  namespace ab = platform::addressbook;
  ASSERT_TRUE(ab::AddressBook::setAuthorizationStatus(ab::AuthorizationStatus::Authorized));
  auto book = ab::AddressBook::create();
  ASSERT_TRUE(book);
  auto person = (*book)->createPerson((*book)->defaultSource());
  ASSERT_TRUE(person);
  const Bytes original = testsupport::makeJpeg(640, 480);
  ASSERT_TRUE(person->setImageData(original));
  ASSERT_TRUE((*book)->save());

  EXPECT_EQ(person->imageData(ab::ImageFormat::OriginalSize), original);
  auto thumbnail = person->imageData(ab::ImageFormat::Thumbnail);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(sizeOf(*thumbnail), std::make_pair(ab::Record::kThumbnailSide, ab::Record::kThumbnailSide));
  EXPECT_LT(thumbnail->size(), original.size());

  // A photo of more pixels than any picture from elsewhere may have: none.
  ASSERT_TRUE(person->setImageData(testsupport::makePixelBombPng(60000, 60000)));
  ASSERT_TRUE((*book)->save());
  EXPECT_FALSE(person->imageData(ab::ImageFormat::Thumbnail));
}

}  // namespace
