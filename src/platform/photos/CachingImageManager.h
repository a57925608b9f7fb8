// An image manager that prepares the pictures of assets ahead (the phone's
// caching image manager): startCaching asks the default manager for each
// asset at a size and keeps what comes back; stopCaching drops the pictures
// again, and takes the preparations not yet answered out of the default
// manager's line. A request for a kept picture is answered from it; one for
// a picture being prepared, or asked for already, waits for that one
// answer, so that a picture is drawn once however many ask for it; others
// go to the default manager.
//
// Ownership: a plain object; when it goes, the requests it still waits on
// are cancelled, and their handlers answered as cancelled.
// Threading: every member may be called from any thread; handlers run on
// the manager's delivery queue or where the default manager answers
// (never on the caller's thread).
// Failure: as ImageManager::requestImageForAsset; a failed preparation
// keeps nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/ImageManager.h"

namespace platform::photos {

class CachingImageManager {
 public:
  CachingImageManager();
  ~CachingImageManager();
  CachingImageManager(const CachingImageManager&) = delete;
  CachingImageManager& operator=(const CachingImageManager&) = delete;

  ImageRequestID requestImageForAsset(const Asset& asset, double targetWidth, double targetHeight,
                                      ImageContentMode contentMode, const ImageRequestOptions& options,
                                      ImageResultHandler handler);
  // A request of this manager not yet answered is answered as cancelled
  // (on the delivery queue); the picture it waited for is no longer asked
  // of the default manager unless it is being prepared or asked for again.
  void cancelImageRequest(ImageRequestID request);
  void startCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth, double targetHeight,
                                   ImageContentMode contentMode, const ImageRequestOptions& options = {});
  void stopCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth, double targetHeight,
                                  ImageContentMode contentMode);
  void stopCachingImagesForAllAssets();
  // Pictures kept now.
  std::size_t cachedImageCount() const;

 private:
  using Key = std::tuple<std::string, double, double, ImageContentMode>;
  // One picture asked of the default manager: kept when answered if it is
  // being prepared, and handed to every request waiting for it.
  struct Asking {
    ImageRequestID underlying = 0;
    bool keep = false;
    std::map<ImageRequestID, ImageResultHandler> waiting;
  };
  struct State {
    std::mutex mutex;
    std::map<Key, Image> images;
    std::map<Key, std::shared_ptr<Asking>> asking;
    std::map<ImageRequestID, Key> requests;  // this manager's requests still waiting
    ImageRequestID nextID = 1;
  };
  // Under the state's lock: the default manager asked for `key`'s picture.
  static std::shared_ptr<Asking> askLocked(const std::shared_ptr<State>& state, const Key& key, const Asset& asset,
                                           const ImageRequestOptions& options);
  // Under the lock: drops `key`'s asking when nothing wants it any more,
  // and takes its request out of the default manager's line.
  static void dropIfUnwantedLocked(State& state, const Key& key);

  std::shared_ptr<State> state_;
  SerialQueue queue_{"platform.photos.caching-image-manager"};
};

}  // namespace platform::photos
