#include "platform/photos/CachingImageManager.h"

namespace platform::photos {

CachingImageManager::CachingImageManager() : state_(std::make_shared<State>()) {}

CachingImageManager::~CachingImageManager() { stopCachingImagesForAllAssets(); }

ImageRequestID CachingImageManager::requestImageForAsset(const Asset& asset, double targetWidth,
                                                         double targetHeight, ImageContentMode contentMode,
                                                         const ImageRequestOptions& options,
                                                         ImageResultHandler handler) {
  const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
  {
    std::lock_guard lock(state_->mutex);
    auto found = state_->images.find(key);
    if (found != state_->images.end()) {
      queue_.async([handler = std::move(handler), image = found->second, file = asset.file] {
        ImageRequestInfo info;
        info.fileURL = file;
        if (handler) handler(image, info);
      });
      return 0;
    }
  }
  return ImageManager::defaultManager().requestImageForAsset(asset, targetWidth, targetHeight, contentMode, options,
                                                             std::move(handler));
}

void CachingImageManager::startCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth,
                                                      double targetHeight, ImageContentMode contentMode,
                                                      const ImageRequestOptions& options) {
  for (const auto& asset : assets) {
    const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
    std::lock_guard lock(state_->mutex);
    if (state_->images.count(key) || state_->preparing.count(key)) continue;
    std::weak_ptr<State> weak = state_;
    state_->preparing[key] = ImageManager::defaultManager().requestImageForAsset(
        asset, targetWidth, targetHeight, contentMode, options,
        [weak, key](std::optional<Image> image, const ImageRequestInfo& info) {
          auto state = weak.lock();
          if (!state) return;
          std::lock_guard lock(state->mutex);
          // Dropped meanwhile (stopCaching): keep nothing.
          if (!state->preparing.erase(key)) return;
          if (image && !info.cancelled && !info.error) state->images.emplace(key, std::move(*image));
        });
  }
}

void CachingImageManager::stopCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth,
                                                     double targetHeight, ImageContentMode contentMode) {
  std::vector<ImageRequestID> cancelled;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& asset : assets) {
      const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
      state_->images.erase(key);
      auto pending = state_->preparing.find(key);
      if (pending != state_->preparing.end()) {
        cancelled.push_back(pending->second);
        state_->preparing.erase(pending);
      }
    }
  }
  for (auto id : cancelled) ImageManager::defaultManager().cancelImageRequest(id);
}

void CachingImageManager::stopCachingImagesForAllAssets() {
  std::vector<ImageRequestID> cancelled;
  {
    std::lock_guard lock(state_->mutex);
    state_->images.clear();
    for (const auto& [key, id] : state_->preparing) cancelled.push_back(id);
    state_->preparing.clear();
  }
  for (auto id : cancelled) ImageManager::defaultManager().cancelImageRequest(id);
}

std::size_t CachingImageManager::cachedImageCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->images.size();
}

}  // namespace platform::photos
