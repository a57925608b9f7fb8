#include "platform/photos/ImageManager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <vector>

#include "platform/media/MediaProperties.h"
#include "platform/photos/AssetFile.h"
#include "platform/storage/PropertyList.h"
#include "platform/Random.h"

namespace platform::photos {
namespace {

Error requestError(std::int64_t code, const std::string& message) {
  return Error(kPhotosErrorDomain, code, Json{{Error::kLocalizedDescriptionKey, message}});
}

std::string dataUTIOf(const std::filesystem::path& file) {
  const std::string extension = lowerCased(file.extension().string());
  if (extension == ".jpg" || extension == ".jpeg") return "public.jpeg";
  if (extension == ".png") return "public.png";
  if (extension == ".gif") return "com.compuserve.gif";
  if (extension == ".heic" || extension == ".heif") return "public.heic";
  if (extension == ".tif" || extension == ".tiff") return "public.tiff";
  if (extension == ".bmp") return "com.microsoft.bmp";
  if (extension == ".webp") return "org.webmproject.webp";
  return "public.image";
}

// Whether the asset's file can be read at all: nothing, or the error that
// tells the asset gone or unreadable.
std::optional<Error> unreadableFile(const std::filesystem::path& file) {
  auto opened = openAssetFile(file);
  if (!opened) return assetFileReadError(static_cast<int>(opened.error().code()), file);
  ::close(*opened);
  return std::nullopt;
}

// A file that reads but not as what its name says. A read refused because
// the process is exiting says nothing of the file, and one whose file went
// meanwhile is gone.
template <class Properties>
std::optional<Error> damagedFile(const Result<Properties>& properties, const std::filesystem::path& file,
                                 MediaType type) {
  if (properties.ok()) return std::nullopt;
  if (properties.error().code() == kMediaErrorExiting) return properties.error();
  // Gone between the open and the read: gone, not damaged.
  if (const int answer = assetFileAnswer(file); isGoneFileCode(answer)) return assetFileReadError(answer, file);
  return assetFileDamagedError(file, type);
}

}  // namespace

ImageManager& ImageManager::defaultManager() {
  static auto* manager = new ImageManager();
  return *manager;
}

ImageRequestID ImageManager::add(Pending pending) {
  ImageRequestID id;
  bool held;
  const bool drawing = pending.drawing;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    id = nextID_++;
    pending_.emplace(id, std::move(pending));
    held = held_;
  }
  if (!held) post(id, drawing);
  return id;
}

void ImageManager::post(ImageRequestID request, bool drawing) {
  if (drawing) {
    drawings_.async([this, request] { send(request); });
  } else {
    queue_.async([this, request] { send(request); });
  }
}

void ImageManager::send(ImageRequestID request) {
  Pending pending;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = pending_.find(request);
    if (it == pending_.end()) return;  // cancelled already
    pending = std::move(it->second);
    pending_.erase(it);
    ++working_;
  }
  if (pending.answer) pending.answer();
  std::lock_guard<std::mutex> guard(mutex_);
  --working_;
}

void ImageManager::cancelImageRequest(ImageRequestID request) {
  // Out of the line now: a request that waits behind others is never
  // worked on. Its answer goes out on the delivery queue.
  std::function<void()> cancel;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = pending_.find(request);
    if (it == pending_.end()) return;  // answered (or being worked on) already
    cancel = std::move(it->second.cancel);
    pending_.erase(it);
  }
  if (cancel) queue_.async(std::move(cancel));
}

void ImageManager::setRequestsHeld(bool held) {
  std::vector<std::pair<ImageRequestID, bool>> waiting;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = held;
    if (!held) {
      for (const auto& [id, pending] : pending_) waiting.emplace_back(id, pending.drawing);
    }
  }
  for (const auto& [id, drawing] : waiting) post(id, drawing);
}

void ImageManager::setDrawingObserverForTesting(std::function<void(const Drawing&)> observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  drawingObserver_ =
      observer ? std::make_shared<const std::function<void(const Drawing&)>>(std::move(observer)) : nullptr;
}

void ImageManager::drew(const Drawing& drawing) {
  std::shared_ptr<const std::function<void(const Drawing&)>> observer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    observer = drawingObserver_;
  }
  if (observer) (*observer)(drawing);
}

void ImageManager::setExportSourceKind(AssetSourceKind kind) {
  std::lock_guard<std::mutex> guard(mutex_);
  exportKind_ = kind;
}

void ImageManager::setPhotoDataRendered(bool rendered) {
  std::lock_guard<std::mutex> guard(mutex_);
  rendered_ = rendered;
}

std::size_t ImageManager::pendingRequestCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pending_.size();
}

std::size_t ImageManager::unfinishedRequestCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pending_.size() + working_;
}

ImageRequestID ImageManager::requestImageDataForAsset(const Asset& asset, const ImageRequestOptions& options,
                                                      ImageDataHandler handler) {
  auto shared = std::make_shared<ImageDataHandler>(std::move(handler));
  Pending pending;
  pending.cancel = [shared] {
    ImageRequestInfo info;
    info.cancelled = true;
    if (*shared) (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
  };
  bool rendered;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    rendered = rendered_;
  }
  const bool fileOnly = options.fileOnlyWhenUnedited && !rendered;
  pending.answer = [shared, asset, rendered, fileOnly] {
    if (!*shared) return;
    ImageRequestInfo info;
    if (asset.mediaType != MediaType::Image) {
      info.error = requestError(kPhotosErrorInvalidResource, "The asset is not a photo.");
      return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
    }
    if (auto refused = unreadableFile(asset.file)) {
      info.error = refused;
      return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
    }
    if (fileOnly) {
      auto properties = imagePropertiesOfFile(asset.file);
      if ((info.error = damagedFile(properties, asset.file, MediaType::Image))) {
        return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
      }
      const ImageOrientation orientation = imageOrientationFromExif(properties->value(kImagePropertyOrientation, 1));
      info.fileURL = asset.file;
      info.dataIsFile = true;
      return (*shared)(std::nullopt, dataUTIOf(asset.file), orientation, info);
    }
    Result<Bytes> data = plist::readFile(asset.file);
    if (!data.ok()) {
      const Error& failure = data.error();
      const int answer = failure.userInfo().is_object() ? failure.userInfo().value("errno", EIO) : EIO;
      info.error = assetFileReadError(answer, asset.file);
      return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
    }
    auto properties = imagePropertiesWithData(*data);
    if ((info.error = damagedFile(properties, asset.file, MediaType::Image))) {
      return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
    }
    info.dataIsFile = !rendered;
    if (rendered) {
      auto image = Image::imageWithData(*data);
      data = image ? image->JPEGRepresentation() : Result<Bytes>(image.error());
      if (!data.ok()) {
        info.error = assetFileDamagedError(asset.file, MediaType::Image);
        return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
      }
      properties = imagePropertiesWithData(*data);
    }
    const ImageOrientation orientation =
        properties ? imageOrientationFromExif(properties->value(kImagePropertyOrientation, 1)) : ImageOrientation::Up;
    info.fileURL = asset.file;
    (*shared)(std::move(*data), dataUTIOf(asset.file), orientation, info);
  };
  return add(std::move(pending));
}

ImageRequestID ImageManager::requestImageForAsset(const Asset& asset, double targetWidth, double targetHeight,
                                                  ImageContentMode contentMode, const ImageRequestOptions&,
                                                  ImageResultHandler handler) {
  auto shared = std::make_shared<ImageResultHandler>(std::move(handler));
  Pending pending;
  pending.cancel = [shared] {
    ImageRequestInfo info;
    info.cancelled = true;
    if (*shared) (*shared)(std::nullopt, info);
  };
  pending.drawing = true;
  pending.answer = [this, shared, asset, targetWidth, targetHeight, contentMode] {
    if (!*shared) return;
    ImageRequestInfo info;
    auto fail = [&](const std::string& message) {
      info.error = requestError(kPhotosErrorInvalidResource, message);
      (*shared)(std::nullopt, info);
    };
    if (asset.mediaType != MediaType::Image) return fail("The asset is not a photo.");
    // Met as every other read of the asset's file: gone, unreadable or
    // damaged, each told by the file's name.
    if (auto refused = unreadableFile(asset.file)) {
      info.error = refused;
      return (*shared)(std::nullopt, info);
    }
    bool fromOwnThumbnail = false;
    Result<Image> drawn = Image::drawnFromFile(asset.file, targetWidth, targetHeight,
                                               contentMode == ImageContentMode::AspectFill, &fromOwnThumbnail);
    drew({asset.localIdentifier, drawn ? drawn->width() : 0, drawn ? drawn->height() : 0, fromOwnThumbnail});
    if (!drawn) {
      // A size that cannot be drawn, or a picture too large to be, says
      // so; any other failure is the file's.
      const Error& failure = drawn.error();
      if (failure.domain() == kImageErrorDomain &&
          (failure.code() == kImageErrorInvalidSize || failure.code() == kImageErrorTooLarge)) {
        info.error = drawn.error();
      } else {
        const int answer = assetFileAnswer(asset.file);
        info.error = answer != 0 ? assetFileReadError(answer, asset.file)
                                 : assetFileDamagedError(asset.file, MediaType::Image);
      }
      return (*shared)(std::nullopt, info);
    }
    info.fileURL = asset.file;
    (*shared)(std::move(*drawn), info);
  };
  return add(std::move(pending));
}

ImageRequestID ImageManager::requestExportSessionForVideo(const Asset& asset, const ImageRequestOptions&,
                                                          const std::string& exportPreset,
                                                          ExportSessionHandler handler) {
  auto shared = std::make_shared<ExportSessionHandler>(std::move(handler));
  AssetSourceKind kind;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    kind = exportKind_;
  }
  Pending pending;
  pending.cancel = [shared] {
    ImageRequestInfo info;
    info.cancelled = true;
    if (*shared) (*shared)(nullptr, info);
  };
  pending.answer = [shared, asset, exportPreset, kind] {
    if (!*shared) return;
    ImageRequestInfo info;
    if (asset.mediaType != MediaType::Video) {
      info.error = requestError(kPhotosErrorInvalidResource, "The asset is not a video.");
      return (*shared)(nullptr, info);
    }
    if (auto refused = unreadableFile(asset.file)) {
      info.error = refused;
      return (*shared)(nullptr, info);
    }
    if ((info.error = damagedFile(videoPropertiesOfFile(asset.file), asset.file, MediaType::Video))) {
      return (*shared)(nullptr, info);
    }
    if (kind == AssetSourceKind::Composition) {
      info.sandboxExtensionToken =
          lowerCased(randomUUIDString()) + ";00;com.quenby.photos.read-only;" + asset.file.string();
    }
    (*shared)(std::make_shared<AssetExportSession>(kind, asset.file, exportPreset), info);
  };
  return add(std::move(pending));
}

}  // namespace platform::photos
