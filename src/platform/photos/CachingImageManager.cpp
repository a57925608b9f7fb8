#include "platform/photos/CachingImageManager.h"

namespace platform::photos {

namespace {

void answerCancelled(const ImageResultHandler& handler) {
  ImageRequestInfo info;
  info.cancelled = true;
  if (handler) handler(std::nullopt, info);
}

}  // namespace

CachingImageManager::CachingImageManager() : state_(std::make_shared<State>()) {}

CachingImageManager::~CachingImageManager() {
  std::vector<ImageResultHandler> waiting;
  {
    std::lock_guard lock(state_->mutex);
    state_->images.clear();
    for (auto& [key, asking] : state_->asking) {
      for (auto& [id, handler] : asking->waiting) waiting.push_back(std::move(handler));
      ImageManager::defaultManager().cancelImageRequest(asking->underlying);
    }
    state_->asking.clear();
    state_->requests.clear();
  }
  // Answered before the queue ends (it runs what it holds).
  for (auto& handler : waiting) queue_.async([handler = std::move(handler)] { answerCancelled(handler); });
}

std::shared_ptr<CachingImageManager::Asking> CachingImageManager::askLocked(const std::shared_ptr<State>& state,
                                                                            const Key& key, const Asset& asset,
                                                                            const ImageRequestOptions& options) {
  auto asking = std::make_shared<Asking>();
  state->asking[key] = asking;
  std::weak_ptr<State> weak = state;
  std::weak_ptr<Asking> mine = asking;
  // The answer takes the lock held here, so it finds the request's id set.
  asking->underlying = ImageManager::defaultManager().requestImageForAsset(
      asset, std::get<1>(key), std::get<2>(key), std::get<3>(key), options,
      [weak, mine, key](std::optional<Image> image, const ImageRequestInfo& info) {
        auto state = weak.lock();
        if (!state) return;
        std::map<ImageRequestID, ImageResultHandler> waiting;
        {
          std::lock_guard lock(state->mutex);
          auto found = state->asking.find(key);
          // Dropped meanwhile (its waiting requests answered then).
          if (found == state->asking.end() || found->second != mine.lock()) return;
          waiting = std::move(found->second->waiting);
          if (found->second->keep && image && !info.cancelled && !info.error) state->images.insert_or_assign(key, *image);
          state->asking.erase(found);
          for (const auto& [id, handler] : waiting) state->requests.erase(id);
        }
        for (const auto& [id, handler] : waiting) {
          if (handler) handler(image, info);
        }
      });
  return asking;
}

void CachingImageManager::dropIfUnwantedLocked(State& state, const Key& key) {
  auto found = state.asking.find(key);
  if (found == state.asking.end() || found->second->keep || !found->second->waiting.empty()) return;
  ImageManager::defaultManager().cancelImageRequest(found->second->underlying);
  state.asking.erase(found);
}

ImageRequestID CachingImageManager::requestImageForAsset(const Asset& asset, double targetWidth,
                                                         double targetHeight, ImageContentMode contentMode,
                                                         const ImageRequestOptions& options,
                                                         ImageResultHandler handler) {
  const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
  std::lock_guard lock(state_->mutex);
  const ImageRequestID id = state_->nextID++;
  auto kept = state_->images.find(key);
  if (kept != state_->images.end()) {
    queue_.async([handler = std::move(handler), image = kept->second, file = asset.file] {
      ImageRequestInfo info;
      info.fileURL = file;
      if (handler) handler(image, info);
    });
    return id;
  }
  auto asking = state_->asking.find(key);
  const std::shared_ptr<Asking> waitingFor =
      asking != state_->asking.end() ? asking->second : askLocked(state_, key, asset, options);
  waitingFor->waiting.emplace(id, std::move(handler));
  state_->requests.emplace(id, key);
  return id;
}

void CachingImageManager::cancelImageRequest(ImageRequestID request) {
  ImageResultHandler handler;
  {
    std::lock_guard lock(state_->mutex);
    auto found = state_->requests.find(request);
    if (found == state_->requests.end()) return;  // answered already
    const Key key = found->second;
    state_->requests.erase(found);
    auto asking = state_->asking.find(key);
    if (asking != state_->asking.end()) {
      auto waiting = asking->second->waiting.find(request);
      if (waiting != asking->second->waiting.end()) {
        handler = std::move(waiting->second);
        asking->second->waiting.erase(waiting);
      }
      dropIfUnwantedLocked(*state_, key);
    }
  }
  queue_.async([handler = std::move(handler)] { answerCancelled(handler); });
}

void CachingImageManager::startCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth,
                                                      double targetHeight, ImageContentMode contentMode,
                                                      const ImageRequestOptions& options) {
  std::lock_guard lock(state_->mutex);
  for (const auto& asset : assets) {
    const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
    if (state_->images.count(key)) continue;
    auto asking = state_->asking.find(key);
    (asking != state_->asking.end() ? asking->second : askLocked(state_, key, asset, options))->keep = true;
  }
}

void CachingImageManager::stopCachingImagesForAssets(const std::vector<Asset>& assets, double targetWidth,
                                                     double targetHeight, ImageContentMode contentMode) {
  std::lock_guard lock(state_->mutex);
  for (const auto& asset : assets) {
    const Key key{asset.localIdentifier, targetWidth, targetHeight, contentMode};
    state_->images.erase(key);
    auto asking = state_->asking.find(key);
    if (asking == state_->asking.end()) continue;
    asking->second->keep = false;
    dropIfUnwantedLocked(*state_, key);
  }
}

void CachingImageManager::stopCachingImagesForAllAssets() {
  std::lock_guard lock(state_->mutex);
  state_->images.clear();
  std::vector<Key> keys;
  for (auto& [key, asking] : state_->asking) {
    asking->keep = false;
    keys.push_back(key);
  }
  for (const auto& key : keys) dropIfUnwantedLocked(*state_, key);
}

std::size_t CachingImageManager::cachedImageCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->images.size();
}

}  // namespace platform::photos
