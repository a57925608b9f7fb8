#include "platform/ui/ImageCache.h"

#include <openssl/evp.h>

#include <cmath>
#include <system_error>

#include "platform/dispatch/MainQueue.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"
#include "platform/storage/PropertyList.h"
#include "platform/ui/Window.h"

namespace platform::ui {
namespace {

std::string sha1Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// The most a cached picture's file is read to: past it the picture is a miss.
constexpr std::uint64_t kCacheFileLimit = 256ull << 20;

std::uint64_t costOf(const Image& image) {
  const Size pixels = image.pixelSize();
  return static_cast<std::uint64_t>(std::max(1.0, pixels.width * pixels.height));
}

// Written beside the file and renamed over it, so a reader never sees half.
// Only a file of the cache's own is written beside it: a link of either
// kind or a pipe there fails the write (and its name goes, never what it
// leads to).
bool writeCacheFile(const std::filesystem::path& file, const Bytes& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const std::filesystem::path temporary = file.string() + ".part";
  if (!writeOwnFile(temporary, bytes, 0666).ok()) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  std::filesystem::rename(temporary, file, ec);
  if (ec) std::filesystem::remove(temporary, ec);
  return !ec;
}

}  // namespace

Size shownPixelsOr(Size shownPixels) {
  if (shownPixels.width >= 1 && shownPixels.height >= 1) return shownPixels;
  const Size screen = Screen::main().profile().size;
  const double side = std::max(screen.width, screen.height) * Screen::main().scale();
  return {side, side};
}

std::optional<Image> decodedImage(const Bytes& data, Size shownPixels) {
  shownPixels = shownPixelsOr(shownPixels);
  double shrink = 1;
  auto bitmap = platform::Image::shownImageWithData(data, static_cast<int>(std::ceil(shownPixels.width)),
                                                    static_cast<int>(std::ceil(shownPixels.height)), &shrink);
  if (!bitmap) return std::nullopt;
  return Image::imageWithBitmap(std::move(*bitmap), shrink);
}

ImageCache& ImageCache::sharedImageCache() {
  static ImageCache* cache = new ImageCache();
  return *cache;
}

ImageCache::ImageCache() : io_(std::make_shared<SerialQueue>("platform.ui.image-cache")) {}
ImageCache::~ImageCache() = default;

std::filesystem::path ImageCache::diskCachePath() const { return AppHome::caches() / "WebImageCache"; }

std::filesystem::path ImageCache::cachePathForKey(const std::string& key) const {
  return diskCachePath() / sha1Hex(key);
}

void ImageCache::forgetLocked(const std::string& key) {
  auto found = memory_.find(key);
  if (found == memory_.end()) return;
  memoryCost_ -= found->second.cost;
  recent_.erase(found->second.recent);
  memory_.erase(found);
}

void ImageCache::remember(const std::string& key, const Image& image) {
  std::lock_guard lock(mutex_);
  forgetLocked(key);
  recent_.push_front(key);
  const std::uint64_t cost = costOf(image);
  memory_.emplace(key, Entry{image, cost, recent_.begin()});
  memoryCost_ += cost;
  while (memoryCost_ > maxMemoryCost_ && recent_.size() > 1) {
    auto oldest = memory_.find(recent_.back());
    memoryCost_ -= oldest->second.cost;
    memory_.erase(oldest);
    recent_.pop_back();
  }
}

void ImageCache::storeImage(const Image& image, std::optional<Bytes> data, const std::string& key, bool toDisk) {
  if (key.empty()) return;
  remember(key, image);
  if (!toDisk) return;
  const std::filesystem::path file = cachePathForKey(key);
  io_->async([file, image, data = std::move(data)] {
    if (data) {
      writeCacheFile(file, *data);
    } else if (image.bitmap()) {
      if (auto png = image.bitmap()->PNGRepresentation()) writeCacheFile(file, *png);
    }
  });
}

std::optional<Image> ImageCache::imageFromMemoryCache(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = memory_.find(key);
  if (found == memory_.end()) return std::nullopt;
  recent_.splice(recent_.begin(), recent_, found->second.recent);
  return found->second.image;
}

std::optional<Image> ImageCache::imageFromDiskCache(const std::string& key, Size shownPixels) {
  if (auto image = imageFromMemoryCache(key)) return image;
  const std::filesystem::path file = cachePathForKey(key);
  // Read as a file of the cache's own: a symbolic link or a pipe at its
  // name is a miss, never read through nor waited on.
  auto bytes = plist::readStoredFile(file, kCacheFileLimit);
  if (!bytes) return std::nullopt;
  auto image = decodedImage(*bytes, shownPixels);
  if (!image) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    return std::nullopt;
  }
  remember(key, *image);
  return image;
}

void ImageCache::queryDiskCacheForKey(const std::string& key,
                                      std::function<void(std::optional<Image> image, ImageCacheType type)> done,
                                      Size shownPixels) {
  if (!done) return;
  if (auto image = imageFromMemoryCache(key)) {
    MainQueue::main().async([done = std::move(done), image = std::move(image)] { done(image, ImageCacheType::Memory); });
    return;
  }
  io_->async([this, key, done = std::move(done), shownPixels = shownPixelsOr(shownPixels)]() mutable {
    auto image = imageFromDiskCache(key, shownPixels);
    const ImageCacheType type = image ? ImageCacheType::Disk : ImageCacheType::None;
    MainQueue::main().async([done = std::move(done), image = std::move(image), type] { done(image, type); });
  });
}

void ImageCache::removeImageForKey(const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    forgetLocked(key);
  }
  const std::filesystem::path file = cachePathForKey(key);
  io_->async([file] {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  });
}

void ImageCache::clearMemory() {
  std::lock_guard lock(mutex_);
  memory_.clear();
  recent_.clear();
  memoryCost_ = 0;
}

void ImageCache::clearDisk() {
  const std::filesystem::path folder = diskCachePath();
  io_->sync([folder] {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  });
}

void ImageCache::clearDiskOnCompletion(std::function<void()> completion) {
  const std::filesystem::path folder = diskCachePath();
  io_->async([folder, completion = std::move(completion)]() mutable {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (completion) MainQueue::main().async(std::move(completion));
  });
}

std::uint64_t ImageCache::getSize() const {
  std::uint64_t size = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(diskCachePath(), ec)) {
    if (entry.is_regular_file(ec)) size += entry.file_size(ec);
  }
  return size;
}

std::size_t ImageCache::getDiskCount() const {
  std::size_t count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(diskCachePath(), ec)) {
    if (entry.is_regular_file(ec)) ++count;
  }
  return count;
}

void ImageCache::setMaxMemoryCost(std::uint64_t pixels) {
  std::lock_guard lock(mutex_);
  maxMemoryCost_ = pixels;
}

}  // namespace platform::ui
