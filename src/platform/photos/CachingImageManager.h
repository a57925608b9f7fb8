// An image manager that prepares the pictures of assets ahead (the phone's
// caching image manager): startCaching asks the default manager for each
// asset at a size and keeps what comes back; a request for a kept picture
// is answered from it, others go to the default manager. stopCaching drops
// the pictures again.
//
// Ownership: a plain object; pending preparations end quietly when it goes.
// Threading: every member may be called from any thread; handlers run on
// the manager's delivery queue or the default manager's (never on the
// caller's thread).
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
  void startCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth, double targetHeight,
                                   ImageContentMode contentMode, const ImageRequestOptions& options = {});
  void stopCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth, double targetHeight,
                                  ImageContentMode contentMode);
  void stopCachingImagesForAllAssets();
  // Pictures kept now.
  std::size_t cachedImageCount() const;

 private:
  using Key = std::tuple<std::string, double, double, ImageContentMode>;
  struct State {
    std::mutex mutex;
    std::map<Key, Image> images;
    std::map<Key, ImageRequestID> preparing;
  };
  std::shared_ptr<State> state_;
  SerialQueue queue_{"platform.photos.caching-image-manager"};
};

}  // namespace platform::photos
