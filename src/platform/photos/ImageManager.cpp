#include "platform/photos/ImageManager.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <vector>

#include "platform/media/MediaProperties.h"
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

// What the file system says of an asset's file: 0 for a plain file, else
// stat's errno (EINVAL for something that is no plain file).
int fileAnswer(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return errno;
  return S_ISREG(info.st_mode) ? 0 : EINVAL;
}

}  // namespace

ImageManager& ImageManager::defaultManager() {
  static auto* manager = new ImageManager();
  return *manager;
}

ImageRequestID ImageManager::add(Pending pending) {
  ImageRequestID id;
  bool held;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    id = nextID_++;
    pending_.emplace(id, std::move(pending));
    held = held_;
  }
  if (!held) queue_.async([this, id] { send(id, false); });
  return id;
}

void ImageManager::send(ImageRequestID request, bool cancelled) {
  Pending pending;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = pending_.find(request);
    if (it == pending_.end()) return;  // answered or cancelled already
    pending = std::move(it->second);
    pending_.erase(it);
  }
  if (cancelled) {
    if (pending.cancel) pending.cancel();
  } else if (pending.answer) {
    pending.answer();
  }
}

void ImageManager::cancelImageRequest(ImageRequestID request) {
  queue_.async([this, request] { send(request, true); });
}

void ImageManager::setRequestsHeld(bool held) {
  std::vector<ImageRequestID> waiting;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = held;
    if (!held) {
      for (const auto& entry : pending_) waiting.push_back(entry.first);
    }
  }
  for (auto id : waiting) queue_.async([this, id] { send(id, false); });
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
    if (fileOnly) {
      const int answer = fileAnswer(asset.file);
      if (answer != 0) {
        info.error = isGoneFileCode(answer) ? assetFileGoneError(answer, asset.file)
                                            : requestError(kPhotosErrorInvalidResource, "The photo's file cannot be read.");
        return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
      }
      ImageOrientation orientation = ImageOrientation::Up;
      if (auto properties = imagePropertiesOfFile(asset.file)) {
        orientation = imageOrientationFromExif(properties->value(kImagePropertyOrientation, 1));
      }
      info.fileURL = asset.file;
      info.dataIsFile = true;
      return (*shared)(std::nullopt, dataUTIOf(asset.file), orientation, info);
    }
    Result<Bytes> data = plist::readFile(asset.file);
    info.dataIsFile = data.ok() && !rendered;
    if (data.ok() && rendered) {
      auto image = Image::imageWithData(*data);
      data = image ? image->JPEGRepresentation() : Result<Bytes>(image.error());
    }
    if (!data.ok()) {
      const Error& failure = data.error();
      const int answer = failure.code() == plist::kFileReadNoSuchFile
                             ? failure.userInfo().value("errno", ENOENT)
                             : 0;
      info.error = isGoneFileCode(answer) ? assetFileGoneError(answer, asset.file)
                                          : requestError(kPhotosErrorInvalidResource, "The photo's file cannot be read.");
      return (*shared)(std::nullopt, {}, ImageOrientation::Up, info);
    }
    ImageOrientation orientation = ImageOrientation::Up;
    if (auto properties = imagePropertiesWithData(*data)) {
      orientation = imageOrientationFromExif(properties->value(kImagePropertyOrientation, 1));
    }
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
  pending.answer = [shared, asset, targetWidth, targetHeight, contentMode] {
    if (!*shared) return;
    ImageRequestInfo info;
    auto fail = [&](const std::string& message) {
      info.error = requestError(kPhotosErrorInvalidResource, message);
      (*shared)(std::nullopt, info);
    };
    if (asset.mediaType != MediaType::Image) return fail("The asset is not a photo.");
    auto decoded = Image::imageWithContentsOfFile(asset.file);
    if (!decoded) return fail("The photo's file cannot be read.");
    const double scale = std::min(targetWidth / decoded->width(), targetHeight / decoded->height());
    const double width = std::max(1.0, std::round(decoded->width() * scale));
    const double height = std::max(1.0, std::round(decoded->height() * scale));
    Result<Image> drawn = contentMode == ImageContentMode::AspectFill
                              ? decoded->scaledToFill(targetWidth, targetHeight)
                              : decoded->drawnInto(width, height, 0, 0, width, height);
    if (!drawn) {
      info.error = drawn.error();
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
    const int answer = asset.mediaType == MediaType::Video ? fileAnswer(asset.file) : EINVAL;
    if (answer != 0) {
      info.error = isGoneFileCode(answer) ? assetFileGoneError(answer, asset.file)
                                          : requestError(kPhotosErrorInvalidResource, "The asset is not a readable video.");
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
