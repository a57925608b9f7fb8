#include "platform/ui/WebImageManager.h"

#include "platform/dispatch/MainQueue.h"
#include "platform/http/SynchronousReply.h"
#include "platform/http/UrlError.h"

namespace platform::ui {
namespace {

// Failures that say nothing about the address itself.
bool isPassing(const Error& error) {
  return error.domain() == http::kURLErrorDomain &&
         (error.code() == http::kUrlErrorCancelled || error.code() == http::kUrlErrorTimedOut ||
          error.code() == http::kUrlErrorNotConnectedToInternet ||
          error.code() == http::kUrlErrorNetworkConnectionLost);
}

void finish(const std::shared_ptr<WebImageOperation>& operation, const WebImageCompletion& completed,
            std::optional<Image> image, std::optional<Error> error, ImageCacheType type, const std::string& url) {
  MainQueue::main().async([operation, completed, image = std::move(image), error = std::move(error), type, url] {
    if (!operation->isCancelled() && completed) completed(image, error, type, url);
  });
}

}  // namespace

WebImageManager& WebImageManager::sharedManager() {
  static WebImageManager* manager = new WebImageManager();
  return *manager;
}

WebImageManager::WebImageManager() : cache_(&ImageCache::sharedImageCache()) {}

std::shared_ptr<WebImageOperation> WebImageManager::downloadImageWithURL(const std::string& url,
                                                                         WebImageOptions options,
                                                                         WebImageCompletion completed) {
  auto operation = std::make_shared<WebImageOperation>();
  options.shownSize = shownPixelsOr(options.shownSize);
  if (url.empty() || (!options.retryFailed && isFailedURL(url))) {
    finish(operation, completed, std::nullopt,
           Error(kWebImageErrorDomain, kWebImageErrorFailedURL, Json{{"url", url}}), ImageCacheType::None, url);
    return operation;
  }
  cache_->queryDiskCacheForKey(ImageCache::cacheKeyForURL(url, options.transform.key),
                               [this, url, options, operation, completed](std::optional<Image> image, ImageCacheType type) {
                                 if (!image) return download(url, options, operation, completed);
                                 if (!operation->isCancelled() && completed) completed(image, std::nullopt, type, url);
                               },
                               options.shownSize);
  return operation;
}

void WebImageManager::download(const std::string& url, WebImageOptions options,
                               const std::shared_ptr<WebImageOperation>& operation, WebImageCompletion completed) {
  loaders_.async([this, url, options, operation, completed] {
    http::Request request;
    request.url = url;
    http::SynchronousReply reply = http::sendSynchronousRequest(request);
    std::optional<Error> error = reply.error;
    std::optional<Image> image;
    if (!error && (!reply.response || reply.response->statusCode() / 100 != 2)) {
      error = http::makeUrlError(http::kUrlErrorBadServerResponse, url);
    }
    if (!error) {
      image = decodedImage(reply.data, options.shownSize);
      if (!image) error = http::makeUrlError(http::kUrlErrorCannotDecodeRawData, url);
    }
    if (error) {
      if (!isPassing(*error)) {
        std::lock_guard lock(mutex_);
        failedURLs_.insert(url);
      }
      finish(operation, completed, std::nullopt, error, ImageCacheType::None, url);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      failedURLs_.erase(url);
    }
    const std::string key = ImageCache::cacheKeyForURL(url, options.transform.key);
    if (options.transform.apply) {
      // The changed picture is what is kept, its own encoding on disk.
      image = options.transform.apply(*image);
      cache_->storeImage(*image, std::nullopt, key, !options.cacheMemoryOnly);
    } else {
      cache_->storeImage(*image, std::move(reply.data), key, !options.cacheMemoryOnly);
    }
    finish(operation, completed, image, std::nullopt, ImageCacheType::None, url);
  });
}

void WebImageManager::saveImageToCache(const Image& image, const std::string& url) {
  if (url.empty()) return;
  cache_->storeImage(image, std::nullopt, ImageCache::cacheKeyForURL(url), true);
}

bool WebImageManager::cachedImageExistsForURL(const std::string& url) {
  const std::string key = ImageCache::cacheKeyForURL(url);
  if (cache_->imageFromMemoryCache(key)) return true;
  std::error_code ec;
  return std::filesystem::exists(cache_->cachePathForKey(key), ec);
}

bool WebImageManager::isFailedURL(const std::string& url) const {
  std::lock_guard lock(mutex_);
  return failedURLs_.count(url) > 0;
}

void WebImageManager::resetFailedURLs() {
  std::lock_guard lock(mutex_);
  failedURLs_.clear();
}

}  // namespace platform::ui
