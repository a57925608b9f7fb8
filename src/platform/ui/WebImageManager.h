// Loads pictures by address through the shared image cache (the web image
// manager of the phone's image library): the memory cache, then the disk
// cache, then a GET through platform::http on a loading queue (at most
// kMaxConcurrentDownloads at once), decoded with libvips there (bounded in
// pixels and shrunk to the size it is shown at: decodedImage) and kept in
// both caches, so that nothing is decoded on the main thread. A load may
// change the decoded picture (turn it, say) before it is kept and shown;
// the changed picture is kept under a key of its own (WebImageTransform).
// The completion runs on the main queue with where the image came from,
// unless the load was cancelled first: a cancel stops only the delivery,
// so a picture asked for is still fetched and cached for the next time it
// is wanted. An address that failed to load (anything but a cancel, a
// time-out or a missing connection) is not asked for again unless the load
// asks to retry failed addresses.
//
// Ownership: sharedManager() lives for the process; a load is a
// WebImageOperation the caller may keep to cancel it.
// Threading: every member may be called from any thread; completions run
// on the main queue.
// Failure: Errors of the URL domain (a status other than 2xx is -1011, an
// undecodable body or a picture of too many pixels -1015, a refused
// address -1100 in kWebImageErrorDomain).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/Error.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/ui/ImageCache.h"

namespace platform::ui {

inline constexpr const char* kWebImageErrorDomain = "platform.webimage";
inline constexpr std::int64_t kWebImageErrorFailedURL = -1100;  // failed before, not retried

// A change made to a picture once it is decoded, on the loading queue,
// before it is kept and shown (the image library's transformer). The
// changed picture is kept under the address's key joined to `key`
// (ImageCache::cacheKeyForURL), so it and the picture as it came never
// stand for each other in either cache. No `apply`: no change, and `key`
// must then be empty.
struct WebImageTransform {
  std::string key;
  std::function<Image(const Image&)> apply;
};

struct WebImageOptions {
  bool retryFailed = false;  // try an address that failed before
  bool cacheMemoryOnly = false;
  // The most the picture is shown at, in pixels: it is decoded no larger
  // than it takes to cover that (empty: the main screen's longer side).
  Size shownSize = {};
  WebImageTransform transform = {};
};

class WebImageOperation {
 public:
  void cancel() { cancelled_ = true; }
  bool isCancelled() const { return cancelled_; }

 private:
  std::atomic<bool> cancelled_{false};
};

using WebImageCompletion = std::function<void(std::optional<Image> image, std::optional<Error> error,
                                              ImageCacheType cacheType, const std::string& url)>;

class WebImageManager {
 public:
  static constexpr std::size_t kMaxConcurrentDownloads = 6;
  static WebImageManager& sharedManager();
  WebImageManager();

  ImageCache& imageCache() { return *cache_; }
  std::shared_ptr<WebImageOperation> downloadImageWithURL(const std::string& url, WebImageOptions options,
                                                          WebImageCompletion completed);
  // Keeps an image got elsewhere as the one of `url`.
  void saveImageToCache(const Image& image, const std::string& url);
  bool cachedImageExistsForURL(const std::string& url);
  bool isFailedURL(const std::string& url) const;
  // Forgets the failed addresses (tests).
  void resetFailedURLs();

 private:
  void download(const std::string& url, WebImageOptions options, const std::shared_ptr<WebImageOperation>& operation,
                WebImageCompletion completed);

  ImageCache* cache_;
  mutable std::mutex mutex_;
  std::set<std::string> failedURLs_;
  ConcurrentQueue loaders_{"platform.ui.web-image", kMaxConcurrentDownloads};
};

}  // namespace platform::ui
