// The shared cache of pictures loaded by address: decoded images in memory
// (the most recently used first, up to a pixel budget) and their file bytes
// on disk under the app home's caches (Library/Caches/WebImageCache, one
// file per key, named by the key's SHA-1). Disk work runs on the cache's
// own queue in the order asked; answers come on the main queue.
//
// Ownership: sharedImageCache() lives for the process; the disk folder is
// the current app home's, looked up on each use.
// Threading: every member may be called from any thread (the memory part
// under a lock); completions run on the main queue.
// Failure: a file that cannot be decoded is a miss (and removed); one that
// cannot be read is a miss, as is a symbolic link or a pipe at its name
// (never read through nor waited on); a write that fails leaves the memory
// entry alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/Bytes.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/ui/Image.h"

namespace platform::ui {

enum class ImageCacheType { None, Disk, Memory };

class ImageCache {
 public:
  static ImageCache& sharedImageCache();
  ImageCache();
  ~ImageCache();
  ImageCache(const ImageCache&) = delete;
  ImageCache& operator=(const ImageCache&) = delete;

  // The key of an address: the address itself; that of the picture a
  // transform of `transformKey` made of it, the transform's key and a line
  // break before the address (no address begins so).
  static std::string cacheKeyForURL(const std::string& url, const std::string& transformKey = {}) {
    return transformKey.empty() ? url : transformKey + "\n" + url;
  }
  std::filesystem::path diskCachePath() const;
  std::filesystem::path cachePathForKey(const std::string& key) const;

  // Keeps the image in memory and, with `toDisk`, its bytes on disk (the
  // image's PNG encoding when no bytes are given).
  void storeImage(const Image& image, std::optional<Bytes> data, const std::string& key, bool toDisk = true);
  std::optional<Image> imageFromMemoryCache(const std::string& key);
  // Memory, else the disk (synchronously; a hit goes into memory), decoded
  // for showing at `shownPixels` (decodedImage).
  std::optional<Image> imageFromDiskCache(const std::string& key, Size shownPixels = {});
  // Memory at once, else the disk on the cache's queue; `done` runs on the
  // main queue with where the image was found (None: nowhere).
  void queryDiskCacheForKey(const std::string& key,
                            std::function<void(std::optional<Image> image, ImageCacheType type)> done,
                            Size shownPixels = {});
  void removeImageForKey(const std::string& key);

  void clearMemory();
  // Removes every file, after the writes already asked for; returns when done.
  void clearDisk();
  // The same on the cache's queue; `completion` runs on the main queue.
  void clearDiskOnCompletion(std::function<void()> completion);
  // Bytes and files on disk now.
  std::uint64_t getSize() const;
  std::size_t getDiskCount() const;

  // Pixels kept in memory at most (width x height summed).
  void setMaxMemoryCost(std::uint64_t pixels);

 private:
  struct Entry {
    Image image;
    std::uint64_t cost = 0;
    std::list<std::string>::iterator recent;
  };
  void remember(const std::string& key, const Image& image);
  void forgetLocked(const std::string& key);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> memory_;
  std::list<std::string> recent_;  // most recent first
  std::uint64_t memoryCost_ = 0;
  std::uint64_t maxMemoryCost_ = 64ull * 1024 * 1024;
  std::shared_ptr<SerialQueue> io_;
};

// Decodes the bytes of a picture from the network (or the disk cache of
// it) to be shown at most `shownPixels` large (none: anywhere on the main
// screen, in either orientation): refused past platform::Image::kMaxPixels,
// decoded now into memory and shrunk as it loads
// (platform::Image::shownImageWithData). Its size in points is the stored
// picture's: a shrunk one has fewer pixels per point. Off the main thread.
std::optional<Image> decodedImage(const Bytes& data, Size shownPixels = {});
// `shownPixels`, or, when it is empty, the box decodedImage uses then (read
// from the main screen: call it where the screen is not being changed).
Size shownPixelsOr(Size shownPixels);

}  // namespace platform::ui
