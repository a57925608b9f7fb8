// A decoded picture: a bitmap as stored in its file plus the orientation in
// which it is shown (the phone's UIImage over a CGImage). Decoding, turning
// upright, scaling and encoding go through libvips, which works in strips:
// pixels are decoded only when an encoding asks for them, so even large
// photos pass through in little memory.
//
// Ownership: a cheap value; copies share the immutable bitmap (and the file
// bytes it was decoded from).
// Threading: any thread; copies may be used on several threads at once.
// Failure: unknown, corrupt or truncated data is refused with an Error in
// kImageErrorDomain, never a crash: decoding looks at the header, and damage
// further in shows when pixels are produced (the representations below).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace platform {

inline constexpr const char* kImageErrorDomain = "platform.image";
inline constexpr std::int64_t kImageErrorUndecodable = 1;   // not an image we can read
inline constexpr std::int64_t kImageErrorInvalidSize = 2;   // a target size that cannot be drawn
inline constexpr std::int64_t kImageErrorRendering = 3;     // damage met while producing pixels
inline constexpr std::int64_t kImageErrorTooLarge = 4;      // more pixels than a shown picture may have

// The eight orientations of a picture, numbered as the phone numbers them.
enum class ImageOrientation : int {
  Up = 0,
  Down = 1,           // turned 180 degrees
  Left = 2,           // turned 90 degrees counter-clockwise
  Right = 3,          // turned 90 degrees clockwise
  UpMirrored = 4,
  DownMirrored = 5,
  LeftMirrored = 6,
  RightMirrored = 7,
};

// EXIF orientation tag (1 to 8) <-> ImageOrientation; an EXIF value out of
// range is Up.
ImageOrientation imageOrientationFromExif(int exifOrientation);
int exifFromImageOrientation(ImageOrientation orientation);

// What the HEIF reader (libheif, through libvips) tells of a HEIF picture
// (HEIC and the rest of that family) from its header, without decoding its
// pixels: its size as shown, the file's own turn, mirror and crop applied,
// as every HEIF decoder applies them; and its EXIF block (TIFF bytes, empty
// when it has none). Bytes that are not a HEIF picture it can read are
// refused (kImageErrorUndecodable).
struct HeifHeader {
  int width = 0;
  int height = 0;
  Bytes exif;
};
Result<HeifHeader> heifHeaderOfFile(const std::filesystem::path& path);
Result<HeifHeader> heifHeaderWithData(const Bytes& data);

class Image {
 public:
  // Decodes the bytes of an image file (JPEG, PNG, GIF, TIFF, WebP, HEIC
  // ...); the orientation comes from the file's EXIF data (Up when there is
  // none; a HEIF picture comes upright, its own turn applied).
  static Result<Image> imageWithData(Bytes data);
  static Result<Image> imageWithContentsOfFile(const std::filesystem::path& path);

  // The most pixels a picture from elsewhere may have, as its header tells
  // (the local cloud refuses larger photos the same way).
  static constexpr std::uint64_t kMaxPixels = 100'000'000;
  // Decodes the bytes of a picture from elsewhere (the network, or a cache
  // of what came from it) to be shown: refused with kImageErrorTooLarge
  // when its header names more than kMaxPixels, before anything of it is
  // decoded; otherwise decoded now, shrunk as it loads to the least size
  // that still covers boxWidth x boxHeight pixels (never enlarged, and its
  // long side at most four times the box's), turned upright, into memory
  // as 8-bit sRGB with alpha, so that drawing it decodes nothing. `shrink`
  // (when given) receives the shown size over the stored one (1: not
  // shrunk). The work is the decoding's: call it off the main thread.
  static Result<Image> shownImageWithData(Bytes data, int boxWidth, int boxHeight, double* shrink = nullptr);

  // The photo in a file drawn upright at exactly targetWidth x
  // targetHeight pixels: scaled to cover that size and cut to it (fill),
  // or, without `fill`, to the size of the photo's proportions inside it
  // (its sides rounded, at least 1); enlarged when smaller. Decoded now,
  // once, into memory as 8-bit sRGB with alpha, reading no more of the
  // photo than that size needs where its format allows: a JPEG or WebP is
  // shrunk as it loads, and a HEIF picture is drawn from the thumbnail it
  // holds of itself when that has the photo's proportions and at least
  // half the size drawn each way (`fromOwnThumbnail`, when given, tells
  // which). Otherwise a HEIF picture is decoded whole: refused past
  // kMaxPixels (kImageErrorTooLarge), before anything of it is decoded,
  // and one at a time in the process, as each holds some ten bytes a
  // pixel until it is drawn. Refuses the sizes drawnInto refuses. The
  // work is the decoding's: call it off the main thread.
  static Result<Image> drawnFromFile(const std::filesystem::path& path, double targetWidth, double targetHeight,
                                     bool fill, bool* fromOwnThumbnail = nullptr);

  // The same bitmap shown in another orientation.
  Image withOrientation(ImageOrientation orientation) const;
  ImageOrientation orientation() const { return orientation_; }

  // The size as shown: the bitmap's, with width and height swapped for the
  // four sideways orientations.
  int width() const;
  int height() const;
  // The bitmap's own size, as stored.
  int pixelWidth() const;
  int pixelHeight() const;

  // The picture redrawn so that its bitmap is upright (orientation Up).
  Image uprightImage() const;

  // The upright picture drawn into a new picture of exactly
  // targetWidth x targetHeight at (x, y) with size (drawnWidth, drawnHeight);
  // what falls outside is cut off, what is not covered stays black. Refuses
  // (kImageErrorInvalidSize) a target or drawn size below 1 pixel or above
  // 65535, or one that is not a finite number.
  Result<Image> drawnInto(double targetWidth, double targetHeight, double x, double y,
                          double drawnWidth, double drawnHeight) const;

  // The upright picture scaled so that its shorter side fills the target
  // (landscape pictures by height, others by width), centred and cut to
  // exactly targetWidth x targetHeight. The same refusals as drawnInto.
  Result<Image> scaledToFill(double targetWidth, double targetHeight) const;

  // The upright picture encoded; the decoding errors that only pixels show
  // (a truncated file) surface here. quality is 0 to 1.
  Result<Bytes> JPEGRepresentation(double quality = 0.9) const;
  Result<Bytes> PNGRepresentation() const;
  // The file bytes the bitmap was decoded from, while it is their picture
  // as stored (nothing drawn or turned since; shown in orientation());
  // null otherwise. A painter with a decoder of its own may read them.
  std::shared_ptr<const Bytes> encodedData() const;
  // The upright picture's pixels for drawing: 8-bit sRGB with alpha (not
  // premultiplied), width() x height(), rows of width() * 4 bytes, top
  // row first. The same errors as the encodings.
  Result<Bytes> RGBARepresentation() const;

 private:
  struct Bitmap;
  Image(std::shared_ptr<const Bitmap> bitmap, ImageOrientation orientation);
  Result<Bytes> encode(const char* suffix) const;

  std::shared_ptr<const Bitmap> bitmap_;
  ImageOrientation orientation_ = ImageOrientation::Up;
};

}  // namespace platform
