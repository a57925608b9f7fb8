#include "server/services/GalleryThumbnails.h"

#include <malloc.h>

#include <vips/vips8>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "server/services/Crypto.h"
#include "server/services/VipsBuffers.h"
#include "server/http/HttpUtil.h"

namespace localcloud {

namespace {

// The photo formats, by the libvips loader that reads them, and whether
// the loader can decode at a reduced size.
struct PhotoLoader {
  std::string_view name;
  bool decodesReduced;
};
constexpr PhotoLoader kPhotoLoaders[] = {
    {"VipsForeignLoadJpegBuffer", true},  {"VipsForeignLoadPngBuffer", false},
    {"VipsForeignLoadWebpBuffer", false}, {"VipsForeignLoadHeifBuffer", false},
    {"VipsForeignLoadTiffBuffer", false}, {"VipsForeignLoadNsgifBuffer", false},
};

// Whether the photo's orientation tag says it is stored on its side.
bool storedOnItsSide(const vips::VImage& header) {
  const int orientation = header.get_typeof("orientation") != 0 ? header.get_int("orientation") : 1;
  return orientation >= 5 && orientation <= 8;
}

// The factor (1, 2, 4 or 8) a photo is shrunk by as it is decoded: the
// largest whose image still covers the thumbnail that fits in
// width x height (the photo turned upright as its orientation says); 1
// where the format cannot decode at a reduced size, or a JPEG is
// progressive (its decoder keeps every coefficient at full size anyway).
int loadShrink(vips::VImage& header, bool decodesReduced, int width, int height) {
  const bool interlaced = header.get_typeof("interlaced") != 0 && header.get_int("interlaced") != 0;
  if (!decodesReduced || interlaced) return 1;
  const bool turned = storedOnItsSide(header);
  const double upright[2] = {static_cast<double>(turned ? header.height() : header.width()),
                             static_cast<double>(turned ? header.width() : header.height())};
  const double scale = std::min({1.0, width / upright[0], height / upright[1]});
  int shrink = 1;
  while (shrink < 8 && 2 * shrink * scale <= 1.0) shrink *= 2;
  return shrink;
}

const PhotoLoader* photoLoader(std::string_view photo) {
  const char* name = vips_foreign_find_load_buffer(photo.data(), photo.size());
  if (!name) return nullptr;
  for (const PhotoLoader& loader : kPhotoLoaders) {
    if (loader.name == name) return &loader;
  }
  return nullptr;
}

// The pixels the process's thumbnails decode at once, held to a budget: a
// decoding waits, in the order they came, until its pixels fit beside the
// others' (one alone always fits).
class DecodingBudget {
 public:
  explicit DecodingBudget(std::uint64_t budget) : budget_(budget) {}

  void acquire(std::uint64_t pixels) {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_++;
    ++waiting_;
    turn_.wait(lock, [&] { return ticket == serving_ && (decoding_ == 0 || decoding_ + pixels <= budget_); });
    --waiting_;
    ++serving_;
    decoding_ += pixels;
    turn_.notify_all();
  }
  void release(std::uint64_t pixels) {
    {
      std::lock_guard lock(mutex_);
      decoding_ -= pixels;
    }
    turn_.notify_all();
  }
  GalleryThumbnails::Decoding state() {
    std::lock_guard lock(mutex_);
    return {decoding_, waiting_};
  }

 private:
  const std::uint64_t budget_;
  std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t next_ = 0;
  std::uint64_t serving_ = 0;
  std::uint64_t decoding_ = 0;
  std::size_t waiting_ = 0;
};

DecodingBudget& decodingBudget() {
  static auto* budget = new DecodingBudget(GalleryThumbnails::kMaxDecodedPixels);
  return *budget;
}

std::mutex& hookMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
std::shared_ptr<const std::function<void()>>& decodingHook() {
  static auto* hook = new std::shared_ptr<const std::function<void()>>();
  return *hook;
}

// A thumbnail's turn to decode `pixels`, for as long as it lives.
class DecodingTurn {
 public:
  explicit DecodingTurn(std::uint64_t pixels) : pixels_(pixels) {
    decodingBudget().acquire(pixels_);
    std::shared_ptr<const std::function<void()>> hook;
    {
      std::lock_guard lock(hookMutex());
      hook = decodingHook();
    }
    if (hook) (*hook)();
  }
  ~DecodingTurn() {
    decodingBudget().release(pixels_);
    if (pixels_ >= GalleryThumbnails::kTrimPixels) malloc_trim(0);
  }
  DecodingTurn(const DecodingTurn&) = delete;
  DecodingTurn& operator=(const DecodingTurn&) = delete;

 private:
  const std::uint64_t pixels_;
};

// The digits of a decimal text that fits an int, else nullopt.
std::optional<int> side(const std::string& text) {
  auto value = http::decimal(text);
  if (!value || *value < 1 || *value > GalleryThumbnails::kMaxSide) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace

void GalleryThumbnails::setDecodingHookForTesting(std::function<void()> hook) {
  std::lock_guard lock(hookMutex());
  decodingHook() = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

GalleryThumbnails::Decoding GalleryThumbnails::decodingForTesting() { return decodingBudget().state(); }

std::string GalleryThumbnails::sign(std::int64_t userId, std::int64_t imageId, int width,
                                    int height) const {
  std::string mac = crypto::hmacSha1Base64(
      store_.serverSecret(), "gallery-thumbnail/" + std::to_string(userId) + "/" +
                                 std::to_string(imageId) + "/" + std::to_string(width) + "x" +
                                 std::to_string(height));
  return crypto::hexEncode(crypto::base64Decode(mac).value_or(""));
}

std::string GalleryThumbnails::address(std::int64_t userId, std::int64_t imageId, int width,
                                       int height) const {
  return "http://127.0.0.1:" + std::to_string(port_()) + kPathPrefix + std::to_string(userId) +
         "/" + std::to_string(imageId) + "/" + std::to_string(width) + "x" +
         std::to_string(height) + "/" + sign(userId, imageId, width, height);
}

void GalleryThumbnails::registerOn(httplib::Server& server) {
  std::string pattern = kPathPrefix;
  pattern += "([0-9]{1,18})/([0-9]{1,18})/([0-9]{1,4})x([0-9]{1,4})/([0-9a-f]{40})";
  server.Get(pattern, [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); });
}

void GalleryThumbnails::serve(const httplib::Request& req, httplib::Response& res) {
  auto userId = http::decimal(req.matches[1].str());
  auto imageId = http::decimal(req.matches[2].str());
  auto width = side(req.matches[3].str());
  auto height = side(req.matches[4].str());
  if (!userId || !imageId || !width || !height ||
      !crypto::constantTimeEquals(req.matches[5].str(), sign(*userId, *imageId, *width, *height))) {
    return http::replyText(res, 404, "no such thumbnail");
  }
  auto image = gallery_.image(*userId, *imageId);
  if (!image || image->status != GalleryStore::kImageLive || image->type != "photo") {
    return http::replyText(res, 404, "no such thumbnail");
  }
  if (static_cast<std::uint64_t>(image->size) > kMaxSourceBytes) {
    return http::replyText(res, 415, "the photo is too large for a thumbnail");
  }
  renders_.acquire();
  std::string jpeg = render(*image, *width, *height);
  renders_.release();
  if (jpeg.empty()) return http::replyText(res, 415, "the photo cannot be decoded");
  res.set_content(jpeg, "image/jpeg");
}

std::string GalleryThumbnails::render(const GalleryImage& image, int width, int height) {
  auto blocks = kss_.blocksOf(image.userId, image.fileId);
  if (!blocks) return {};
  std::size_t total = 0;
  for (const KssNode::BlockDigest& block : *blocks) total += static_cast<std::size_t>(block.size);
  // Each block is read straight into its place in the photo.
  std::string photo(total, '\0');
  std::size_t at = 0;
  for (const KssNode::BlockDigest& block : *blocks) {
    const auto size = static_cast<std::size_t>(block.size);
    BlobStore::Reader reader = blobs_.open(block.sha1);
    auto got = reader.ok() ? reader.readInto(photo.data() + at, size) : std::nullopt;
    if (!got || *got != size) return {};
    at += size;
  }
  return thumbnailOf(photo, width, height);
}

std::string GalleryThumbnails::thumbnailOf(std::string_view photo, int width, int height) {
  if (!startVips() || photo.empty()) return {};
  const PhotoLoader* loader = photoLoader(photo);
  if (!loader) return {};
  // The photo's bytes stay the caller's: libvips borrows them while the
  // thumbnail is made.
  try {
    // The header tells the size and the layout: a photo beyond its bounds
    // is refused before anything of it is decoded.
    vips::VImage header = vips::VImage::new_from_buffer(photo.data(), photo.size(), "");
    const auto photoWidth = static_cast<std::uint64_t>(header.width());
    const auto photoHeight = static_cast<std::uint64_t>(header.height());
    if (photoWidth * photoHeight > kMaxSourcePixels) return {};
    const int shrink = loadShrink(header, loader->decodesReduced, width, height);
    const std::uint64_t decoded = ((photoWidth + static_cast<std::uint64_t>(shrink) - 1) / shrink) *
                                  ((photoHeight + static_cast<std::uint64_t>(shrink) - 1) / shrink);
    if (decoded > kMaxDecodedPixels) return {};
    const DecodingTurn turn(decoded);
    vips::VOption* load = vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL);
    if (shrink > 1) load->set("shrink", shrink);
    vips::VImage image = vips::VImage::new_from_buffer(photo.data(), photo.size(), "", load);
    // The thumbnail is the photo as stored, without the tag: the app turns
    // it upright by the orientation its backup sent with the photo. (A HEIF
    // photo comes turned by its own transform, which its decoder applies,
    // and is sent with none.) It fits the box once turned.
    const bool turned = storedOnItsSide(header);
    vips::VImage thumbnail = image.thumbnail_image(turned ? height : width, vips::VImage::option()
                                                                                ->set("height", turned ? width : height)
                                                                                ->set("size", VIPS_SIZE_DOWN)
                                                                                ->set("no_rotate", true));
    return writeImageToBuffer(thumbnail, ".jpg[strip]");
  } catch (const vips::VError&) {
    return {};
  }
}

}  // namespace localcloud
