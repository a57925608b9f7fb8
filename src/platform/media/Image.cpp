#include "platform/media/Image.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <vips/vips8>

namespace platform {
namespace {

// Sizes libvips can hold, and the largest picture we draw into.
constexpr double kMaxDrawnSide = VIPS_MAX_COORD;
constexpr double kMaxTargetSide = 65535;

void initialiseVips() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("lumora") != 0) std::abort();
    // Library warnings (such as "premature end of JPEG file") become errors
    // through fail_on below; they need not also go to stderr. (Through the
    // log handler, not the library's environment switch: setting a variable
    // here, on whatever thread draws first, would race with others reading
    // or writing the environment.)
    g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {},
                      nullptr);
    // Cached operations would keep pictures (and the buffers under them)
    // alive past their owners; every picture is made once anyway.
    vips_cache_set_max(0);
    vips_leak_set(FALSE);
  });
}

Error imageError(std::int64_t code, const std::string& message) {
  return Error(kImageErrorDomain, code, Json{{Error::kLocalizedDescriptionKey, message}});
}

Error vipsError(std::int64_t code, const vips::VError& error) {
  std::string message = error.what();
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return imageError(code, message);
}

vips::VOption* loadOptions() {
  // Truncated or damaged data is an error, not a grey picture.
  return vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
}

bool usableSide(double side, double maximum) {
  return std::isfinite(side) && std::lround(side) >= 1 && side <= maximum;
}

bool isSideways(ImageOrientation orientation) {
  switch (orientation) {
    case ImageOrientation::Left:
    case ImageOrientation::Right:
    case ImageOrientation::LeftMirrored:
    case ImageOrientation::RightMirrored:
      return true;
    default:
      return false;
  }
}

// The picture decoded now into memory as 8-bit sRGB with alpha, upright
// (its orientation tag dropped); false when it has no such form.
bool inMemoryRGBA(vips::VImage picture, vips::VImage& out) {
  picture = picture.colourspace(VIPS_INTERPRETATION_sRGB);
  if (picture.format() != VIPS_FORMAT_UCHAR) picture = picture.cast(VIPS_FORMAT_UCHAR);
  if (!picture.has_alpha()) picture = picture.bandjoin_const({255});
  if (picture.bands() != 4) return false;
  out = picture.copy_memory();
  out.remove(VIPS_META_ORIENTATION);
  return true;
}

bool isHeif(const vips::VImage& header) {
  if (header.get_typeof(VIPS_META_LOADER) == 0) return false;
  return std::strncmp(header.get_string(VIPS_META_LOADER), "heifload", 8) == 0;
}

// Held while a HEIF picture is decoded whole (libheif decodes every pixel
// at once, whatever is asked of it).
std::mutex& wholeHeifDecodes() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

}  // namespace

struct Image::Bitmap {
  vips::VImage image;
  // The encoded bytes the image reads its pixels from, when it was decoded
  // from memory; libvips does not copy them.
  std::shared_ptr<const Bytes> source;
  // The image is the decoding of `source` itself.
  bool asStored = false;
};

ImageOrientation imageOrientationFromExif(int exifOrientation) {
  switch (exifOrientation) {
    case 2: return ImageOrientation::UpMirrored;
    case 3: return ImageOrientation::Down;
    case 4: return ImageOrientation::DownMirrored;
    case 5: return ImageOrientation::LeftMirrored;
    case 6: return ImageOrientation::Right;
    case 7: return ImageOrientation::RightMirrored;
    case 8: return ImageOrientation::Left;
    default: return ImageOrientation::Up;
  }
}

int exifFromImageOrientation(ImageOrientation orientation) {
  switch (orientation) {
    case ImageOrientation::UpMirrored: return 2;
    case ImageOrientation::Down: return 3;
    case ImageOrientation::DownMirrored: return 4;
    case ImageOrientation::LeftMirrored: return 5;
    case ImageOrientation::Right: return 6;
    case ImageOrientation::RightMirrored: return 7;
    case ImageOrientation::Left: return 8;
    case ImageOrientation::Up: break;
  }
  return 1;
}

Image::Image(std::shared_ptr<const Bitmap> bitmap, ImageOrientation orientation)
    : bitmap_(std::move(bitmap)), orientation_(orientation) {}

namespace {

ImageOrientation orientationOf(const vips::VImage& image) {
  if (image.get_typeof(VIPS_META_ORIENTATION) == 0) return ImageOrientation::Up;
  return imageOrientationFromExif(image.get_int(VIPS_META_ORIENTATION));
}

// The blob borrows the bytes, which must outlive it.
using BorrowedBlob = std::unique_ptr<VipsBlob, void (*)(VipsBlob*)>;
BorrowedBlob borrowedBlob(const Bytes& data) {
  return BorrowedBlob(vips_blob_new(nullptr, data.data(), data.size()),
                      [](VipsBlob* made) { vips_area_unref(VIPS_AREA(made)); });
}

HeifHeader heifHeaderOf(const vips::VImage& header) {
  HeifHeader out{header.width(), header.height(), {}};
  if (header.get_typeof(VIPS_META_EXIF_NAME) != 0) {
    std::size_t length = 0;
    const auto* exif = static_cast<const std::uint8_t*>(header.get_blob(VIPS_META_EXIF_NAME, &length));
    if (exif != nullptr) out.exif.assign(exif, exif + length);
  }
  return out;
}

}  // namespace

Result<HeifHeader> heifHeaderOfFile(const std::filesystem::path& path) {
  initialiseVips();
  // Opened without waiting, and read only when it is a plain file: a pipe
  // at the name never holds the reader.
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) < 0 && errno == EINTR) {
  }
  if (fd < 0) return imageError(kImageErrorUndecodable, std::string("Cannot open the file: ") + std::strerror(errno));
  struct stat info {};
  Result<HeifHeader> header = imageError(kImageErrorUndecodable, "Not a plain file.");
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    try {
      // The source reads a descriptor of its own.
      header = heifHeaderOf(vips::VImage::heifload_source(vips::VSource::new_from_descriptor(fd)));
    } catch (const vips::VError& error) {
      header = vipsError(kImageErrorUndecodable, error);
    }
  }
  ::close(fd);
  return header;
}

Result<HeifHeader> heifHeaderWithData(const Bytes& data) {
  initialiseVips();
  if (data.empty()) return imageError(kImageErrorUndecodable, "No image data.");
  try {
    const BorrowedBlob blob = borrowedBlob(data);
    return heifHeaderOf(vips::VImage::heifload_buffer(blob.get()));
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorUndecodable, error);
  }
}

Result<Image> Image::imageWithData(Bytes data) {
  initialiseVips();
  if (data.empty()) return imageError(kImageErrorUndecodable, "No image data.");
  auto source = std::make_shared<const Bytes>(std::move(data));
  try {
    auto bitmap = std::make_shared<Bitmap>();
    bitmap->image = vips::VImage::new_from_buffer(source->data(), source->size(), "", loadOptions());
    bitmap->source = source;
    bitmap->asStored = true;
    const ImageOrientation orientation = orientationOf(bitmap->image);
    return Image(std::move(bitmap), orientation);
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorUndecodable, error);
  }
}

Result<Image> Image::imageWithContentsOfFile(const std::filesystem::path& path) {
  initialiseVips();
  try {
    auto bitmap = std::make_shared<Bitmap>();
    bitmap->image = vips::VImage::new_from_file(path.c_str(), loadOptions());
    const ImageOrientation orientation = orientationOf(bitmap->image);
    return Image(std::move(bitmap), orientation);
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorUndecodable, error);
  }
}

Result<Image> Image::shownImageWithData(Bytes data, int boxWidth, int boxHeight, double* shrink) {
  initialiseVips();
  if (data.empty()) return imageError(kImageErrorUndecodable, "No image data.");
  if (!usableSide(boxWidth, kMaxTargetSide) || !usableSide(boxHeight, kMaxTargetSide)) {
    return imageError(kImageErrorInvalidSize, "Cannot show a picture in a box of that size.");
  }
  const auto source = std::make_shared<const Bytes>(std::move(data));
  try {
    // The header alone: the pixels are not decoded yet.
    const vips::VImage header = vips::VImage::new_from_buffer(source->data(), source->size(), "", loadOptions());
    if (static_cast<std::uint64_t>(header.width()) * static_cast<std::uint64_t>(header.height()) > kMaxPixels) {
      return imageError(kImageErrorTooLarge, "The picture has more pixels than a picture may have to be shown.");
    }
    const bool sideways = isSideways(orientationOf(header));
    const double storedWidth = sideways ? header.height() : header.width();
    const double storedHeight = sideways ? header.width() : header.height();
    double scale = std::min(1.0, std::max(boxWidth / storedWidth, boxHeight / storedHeight));
    scale = std::min(scale, 4.0 * std::max(boxWidth, boxHeight) / std::max(storedWidth, storedHeight));
    const int shownWidth = std::max(1, static_cast<int>(std::lround(storedWidth * scale)));
    const int shownHeight = std::max(1, static_cast<int>(std::lround(storedHeight * scale)));
    const BorrowedBlob blob = borrowedBlob(*source);
    vips::VImage shown = vips::VImage::thumbnail_buffer(blob.get(), shownWidth,
                                                        vips::VImage::option()
                                                            ->set("height", shownHeight)
                                                            ->set("size", VIPS_SIZE_DOWN)
                                                            ->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
    auto bitmap = std::make_shared<Bitmap>();
    if (!inMemoryRGBA(shown, bitmap->image)) {
      return imageError(kImageErrorRendering, "The picture has no RGBA form.");
    }
    if (shrink) *shrink = bitmap->image.width() / storedWidth;
    return Image(std::move(bitmap), ImageOrientation::Up);
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorUndecodable, error);
  }
}

Result<Image> Image::drawnFromFile(const std::filesystem::path& path, double targetWidth, double targetHeight,
                                   bool fill, bool* fromOwnThumbnail) {
  initialiseVips();
  if (fromOwnThumbnail) *fromOwnThumbnail = false;
  if (!usableSide(targetWidth, kMaxTargetSide) || !usableSide(targetHeight, kMaxTargetSide)) {
    return imageError(kImageErrorInvalidSize, "Cannot draw into a picture of that size.");
  }
  try {
    // The header alone: the size, the turn and the format.
    const vips::VImage header = vips::VImage::new_from_file(path.c_str(), loadOptions());
    const bool heif = isHeif(header);
    // A HEIF picture's header tells the size shown (its own turn applied
    // by its decoder); others are turned by their orientation tag.
    const bool sideways = !heif && isSideways(orientationOf(header));
    const double shownWidth = sideways ? header.height() : header.width();
    const double shownHeight = sideways ? header.width() : header.height();
    int width = static_cast<int>(std::lround(targetWidth));
    int height = static_cast<int>(std::lround(targetHeight));
    const double cover = std::max(width / shownWidth, height / shownHeight);
    if (!fill) {
      const double scale = std::min(width / shownWidth, height / shownHeight);
      width = std::max(1, static_cast<int>(std::lround(shownWidth * scale)));
      height = std::max(1, static_cast<int>(std::lround(shownHeight * scale)));
    }
    // Scaled to cover width x height and cut to it at its centre (for a
    // picture drawn to fit, that cuts a rounded pixel at most).
    auto drawn = [&] {
      return vips::VImage::option()
          ->set("height", height)
          ->set("crop", VIPS_INTERESTING_CENTRE)
          ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
    };
    vips::VImage picture;
    if (heif) {
      const vips::VImage own =
          vips::VImage::new_from_file(path.c_str(), loadOptions()->set("thumbnail", true));
      // libheif hands over the primary picture when there is no thumbnail.
      const bool holdsOne = own.width() != header.width() || own.height() != header.height();
      // One that is not turned as the picture is (its proportions the
      // other way round) is not used.
      const bool sameProportions =
          std::abs(own.width() * shownHeight - own.height() * shownWidth) <= 0.02 * own.width() * shownHeight;
      if (holdsOne && sameProportions && 2 * own.width() >= shownWidth * cover &&
          2 * own.height() >= shownHeight * cover) {
        picture = own.thumbnail_image(width, drawn());
        if (fromOwnThumbnail) *fromOwnThumbnail = true;
      } else {
        if (static_cast<std::uint64_t>(header.width()) * static_cast<std::uint64_t>(header.height()) > kMaxPixels) {
          return imageError(kImageErrorTooLarge, "The picture has more pixels than a picture may have to be drawn.");
        }
        std::lock_guard whole(wholeHeifDecodes());
        auto bitmap = std::make_shared<Bitmap>();
        bool made = false;
        {
          // The whole picture's memory back to the system once it is let
          // go: freed on whichever thread decoded it, it would otherwise
          // stay with that thread's heap, a picture's worth a thread.
          struct Trim {
            ~Trim() { malloc_trim(0); }
          } trim;
          const vips::VImage decoded = vips::VImage::new_from_file(path.c_str(), loadOptions());
          made = inMemoryRGBA(decoded.thumbnail_image(width, drawn()), bitmap->image);
        }
        if (!made) return imageError(kImageErrorRendering, "The picture has no RGBA form.");
        return Image(std::move(bitmap), ImageOrientation::Up);
      }
    } else {
      // libvips reduces as it loads where the format can (a JPEG by 2, 4
      // or 8 in its decoder) and turns the picture upright by its tag.
      picture = vips::VImage::thumbnail(path.c_str(), width, drawn());
    }
    auto bitmap = std::make_shared<Bitmap>();
    if (!inMemoryRGBA(picture, bitmap->image)) {
      return imageError(kImageErrorRendering, "The picture has no RGBA form.");
    }
    return Image(std::move(bitmap), ImageOrientation::Up);
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorUndecodable, error);
  }
}

Image Image::withOrientation(ImageOrientation orientation) const { return Image(bitmap_, orientation); }

std::shared_ptr<const Bytes> Image::encodedData() const { return bitmap_->asStored ? bitmap_->source : nullptr; }

int Image::pixelWidth() const { return bitmap_->image.width(); }
int Image::pixelHeight() const { return bitmap_->image.height(); }
int Image::width() const { return isSideways(orientation_) ? pixelHeight() : pixelWidth(); }
int Image::height() const { return isSideways(orientation_) ? pixelWidth() : pixelHeight(); }

Image Image::uprightImage() const {
  auto upright = std::make_shared<Bitmap>();
  upright->source = bitmap_->source;
  vips::VImage turned = bitmap_->image.copy();
  if (orientation_ == ImageOrientation::Up) {
    turned.remove(VIPS_META_ORIENTATION);
  } else {
    // libvips turns a picture by its EXIF tag, mirrored ones included.
    turned.set(VIPS_META_ORIENTATION, exifFromImageOrientation(orientation_));
    turned = turned.autorot();
  }
  upright->image = turned;
  return Image(std::move(upright), ImageOrientation::Up);
}

Result<Image> Image::drawnInto(double targetWidth, double targetHeight, double x, double y,
                               double drawnWidth, double drawnHeight) const {
  if (!usableSide(targetWidth, kMaxTargetSide) || !usableSide(targetHeight, kMaxTargetSide) ||
      !usableSide(drawnWidth, kMaxDrawnSide) || !usableSide(drawnHeight, kMaxDrawnSide) ||
      !std::isfinite(x) || !std::isfinite(y)) {
    return imageError(kImageErrorInvalidSize, "Cannot draw into a picture of that size.");
  }
  try {
    const vips::VImage upright = uprightImage().bitmap_->image;
    const double hscale = drawnWidth / upright.width();
    const double vscale = drawnHeight / upright.height();
    vips::VImage resized = upright.resize(hscale, vips::VImage::option()->set("vscale", vscale));
    vips::VImage placed = resized.embed(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
                                        static_cast<int>(std::lround(targetWidth)),
                                        static_cast<int>(std::lround(targetHeight)),
                                        vips::VImage::option()->set("extend", VIPS_EXTEND_BLACK));
    auto bitmap = std::make_shared<Bitmap>();
    bitmap->image = placed;
    bitmap->source = bitmap_->source;
    return Image(std::move(bitmap), ImageOrientation::Up);
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorRendering, error);
  }
}

Result<Image> Image::scaledToFill(double targetWidth, double targetHeight) const {
  const double w = width();
  const double h = height();
  double drawnWidth = targetWidth;
  double drawnHeight = targetWidth * h / w;
  if (w > h) {
    drawnWidth = targetHeight * w / h;
    drawnHeight = targetHeight;
  }
  return drawnInto(targetWidth, targetHeight, (targetWidth - drawnWidth) / 2,
                   (targetHeight - drawnHeight) / 2, drawnWidth, drawnHeight);
}

Result<Bytes> Image::encode(const char* suffix) const {
  try {
    const vips::VImage upright = uprightImage().bitmap_->image;
    void* buffer = nullptr;
    std::size_t length = 0;
    upright.write_to_buffer(suffix, &buffer, &length);
    Bytes out(static_cast<const std::uint8_t*>(buffer), static_cast<const std::uint8_t*>(buffer) + length);
    g_free(buffer);
    return out;
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorRendering, error);
  }
}

Result<Bytes> Image::JPEGRepresentation(double quality) const {
  if (!std::isfinite(quality)) quality = 0.9;
  const long q = std::lround(std::clamp(quality, 0.0, 1.0) * 100);
  const std::string suffix = ".jpg[Q=" + std::to_string(std::max(1L, q)) + "]";
  return encode(suffix.c_str());
}

Result<Bytes> Image::PNGRepresentation() const { return encode(".png"); }

Result<Bytes> Image::RGBARepresentation() const {
  try {
    vips::VImage pixels = uprightImage().bitmap_->image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (pixels.format() != VIPS_FORMAT_UCHAR) pixels = pixels.cast(VIPS_FORMAT_UCHAR);
    if (!pixels.has_alpha()) pixels = pixels.bandjoin_const({255});
    if (pixels.bands() != 4) return imageError(kImageErrorRendering, "The picture has no RGBA form.");
    std::size_t length = 0;
    void* buffer = pixels.write_to_memory(&length);
    Bytes out(static_cast<const std::uint8_t*>(buffer), static_cast<const std::uint8_t*>(buffer) + length);
    g_free(buffer);
    return out;
  } catch (const vips::VError& error) {
    return vipsError(kImageErrorRendering, error);
  }
}

}  // namespace platform
