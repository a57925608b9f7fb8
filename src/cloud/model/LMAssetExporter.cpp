#include "cloud/model/LMAssetExporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <vector>

#include "cloud/model/LMBlockDigests.h"
#include "cloud/model/LMImage.h"
#include "utils/LMErrors.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"
#include "platform/storage/AppHome.h"
#include "platform/storage/OwnFile.h"
#include "platform/media/MediaProperties.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/Bytes.h"
#include "platform/PrintableText.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/ImageManager.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;

// How long the library may take to answer a request, and how long an export
// may go without progress, before the construction gives up.
constexpr double kLibraryAnswerDeadlineSeconds = 60;
constexpr double kExportStallSeconds = 60;
// How long the digest waits for more of the export's file at a time.
constexpr double kExportPollSeconds = 0.02;

platform::Error backupError(std::int64_t code, const char* reason) {
  return LMUtils::localErrorWithErrorCode(
      code, {{kLMErrorReasonKey, reason}, {kLMErrorDescriptionKey, kLMErrorTitleBackup}});
}

// One library request's answer, shared with its handler, which may come
// after the waiter has given up.
template <class Value>
struct Answer {
  platform::Semaphore done;
  std::mutex mutex;
  Value value{};
  photos::ImageRequestInfo info;
};

// The name, title and MIME type of an exported file, and the temporary
// file it goes to; false for a name that is not a plain file name. The
// cloud takes names as UTF-8: a name in another encoding (Latin-1, as
// older cameras, memory cards and zip files write) is sent with its other
// bytes read as Latin-1, always the same name for the same file, while the
// files themselves are read and written by their own bytes.
bool nameFile(LMImage& image, const std::string& name, const char* mediaKind) {
  if (!LMUtils::isSafeFileName(name)) return false;
  const fs::path path(platform::toValidUtf8(name));
  image.fileName = path.string();
  image.title = path.stem().string();
  const std::string extension = path.extension().string();
  if (extension.size() > 1) image.mimeType = std::string(mediaKind) + "/" + extension.substr(1);
  image.filePath = LMUtils::fileInDirectory(LMUtils::imageTransferDirectory(), name)->lexically_normal().string();
  return true;
}

// The same for a file the upload reads where it lies, with no copy.
bool nameLibraryFile(LMImage& image, const fs::path& file, const char* mediaKind) {
  if (!nameFile(image, file.filename().string(), mediaKind)) return false;
  image.filePath.reset();
  image.libraryFilePath = file.string();
  return true;
}

// Whether the library's data for a photo is its file as it lies (not a
// rendering of an edit), so that the upload can read the file instead of a
// copy.
bool isLibraryFile(const photos::ImageRequestInfo& info, const platform::Bytes& data) {
  std::error_code ec;
  return info.dataIsFile && info.fileURL && fs::is_regular_file(*info.fileURL, ec) &&
         fs::file_size(*info.fileURL, ec) == data.size() && !ec;
}

// Removes an earlier temporary file of the same name (a link there goes
// itself, never what it leads to).
platform::Status clearTemporaryFile(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return platform::Status::success();
  if (fs::remove(path, ec)) return platform::Status::success();
  return platform::posixError(ec.value(),
                              "Cannot remove the earlier copy of " + platform::printablePath(fs::path(path).filename()));
}

// Writes the bytes under a private name, then renames it into place. Only
// a file of our own is written under that name: a symbolic link or a pipe
// there fails the write (and its name goes, never what it leads to).
bool writeAtomically(const std::string& path, const platform::Bytes& data) {
  const std::string temporary = path + ".partial";
  if (!platform::writeOwnFile(temporary, data, 0666).ok()) {
    std::error_code ec;
    fs::remove(temporary, ec);
    return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) fs::remove(temporary, ec);
  return !ec;
}


// A read of the library's own file that failed is the library's answer
// about the asset: gone when the file system says the file is no longer
// at its path, else the asset unreadable, told by its file's name.
platform::Error libraryFileError(const platform::Error& error, const fs::path& file) {
  if (error.domain() != platform::kPOSIXErrorDomain) return error;
  return photos::assetFileReadError(static_cast<int>(error.code()), file);
}

// The library's own file digested where it lies, block by block, as the
// upload reads it again later.
platform::Status digestLibraryFile(const fs::path& file, LMImage& image) {
  struct stat info {};
  auto opened = photos::openAssetFile(file, &info);
  if (!opened) return libraryFileError(opened.error(), file);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{*opened};
  image.size = static_cast<std::int64_t>(info.st_size);
  auto digests = digestBlocksOfOpenFile(closer.fd, file.filename().string(), *image.size);
  // Cut short, grown or written while it was read: the digests are of no
  // one state of it (and a read cut short is no refusal).
  if (photos::assetFileChangedSince(closer.fd, info)) return photos::assetFileChangedError(file);
  if (!digests) return libraryFileError(digests.error(), file);
  image.sha1 = std::move(digests->sha1);
  image.blockInfos = std::move(digests->blockInfos);
  return platform::Status::success();
}

}  // namespace

LMAssetExporter& LMAssetExporter::shared() {
  static auto* exporter = new LMAssetExporter();
  return *exporter;
}

void LMAssetExporter::cancelAll() {
  std::set<photos::ImageRequestID> requests;
  std::vector<std::shared_ptr<photos::AssetExportSession>> exporters;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    requests.swap(requests_);
    exporters.swap(exporters_);
  }
  for (auto request : requests) photos::ImageManager::defaultManager().cancelImageRequest(request);
  for (const auto& exporter : exporters) exporter->cancelExport();
}

platform::Status LMAssetExporter::exportAsset(const photos::Asset& asset, LMImage& image) {
  if (asset.mediaType == photos::MediaType::Image) return exportImage(asset, image);
  if (asset.mediaType == photos::MediaType::Video) return exportVideo(asset, image);
  return platform::Status::success();
}

platform::Status LMAssetExporter::exportRepresentation(const photos::LibraryAsset& asset, LMImage& image) {
  image.exifInfo = platform::Json::object();
  auto representation = asset.defaultRepresentation();
  if (!representation) return platform::Status::success();
  const bool video = image.type == kLMAssetTypeVideo;
  if (!nameFile(image, representation->filename(), video ? "video" : "image")) {
    return backupError(kLMLocalErrorGeneral, "Fail to get image file name.");
  }
  const auto width = static_cast<double>(representation->width());
  const auto height = static_cast<double>(representation->height());
  if (video) {
    image.duration = asset.duration;
    image.exifInfo = LMUtils::exifInfoFromVideoLocation(asset.location, width, height);
  } else {
    image.exifInfo = LMUtils::exifInfoFromImageMetadata(representation->metadata(), width, height)
                         .value_or(platform::Json::object());
    image.isUbiImage = false;
  }
  image.size = representation->size();

  // One block-sized buffer, read at each block's offset. A read that fails
  // fails the export: digests of part of the file would upload a torn photo.
  if (auto cleared = clearTemporaryFile(*image.filePath); !cleared.ok()) return cleared;
  std::int64_t copied = 0;
  {
    const int out = platform::openOwnFile(image.filePath->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    bool written = out >= 0;
    platform::Bytes buffer;
    buffer.reserve(static_cast<std::size_t>(kLMBlockSize));
    while (written && copied < *image.size) {
      auto read = representation->getBytes(copied, static_cast<std::size_t>(std::min<std::int64_t>(
                                                        kLMBlockSize, *image.size - copied)),
                                            buffer);
      if (!read.ok() || *read == 0) break;
      written = platform::writeWhole(out, buffer.data(), static_cast<std::size_t>(*read));
      copied += static_cast<std::int64_t>(*read);
    }
    if (out >= 0 && close(out) != 0) written = false;
    if (!written) return backupError(kLMLocalErrorGeneral, "Save temp image data to disk error.");
  }
  if (copied != *image.size) return backupError(kLMLocalErrorGeneral, "Read asset data error.");
  auto digests = digestBlocksOfFile(*image.filePath, copied);
  if (!digests) return digests.error();
  image.sha1 = std::move(digests->sha1);
  image.blockInfos = std::move(digests->blockInfos);
  return platform::Status::success();
}

bool LMAssetExporter::waitForAnswer(platform::Semaphore& done, photos::ImageRequestID request) {
  const bool answered = done.waitFor(platform::seconds(kLibraryAnswerDeadlineSeconds));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.erase(request);
  }
  if (!answered) photos::ImageManager::defaultManager().cancelImageRequest(request);
  return answered;
}

platform::Status LMAssetExporter::exportImage(const photos::Asset& asset, LMImage& image) {
  auto answer = std::make_shared<Answer<std::optional<platform::Bytes>>>();
  photos::ImageRequestID request;
  {
    // Registered before anyone can cancel: the answer never comes inline.
    std::lock_guard<std::mutex> guard(mutex_);
    request = photos::ImageManager::defaultManager().requestImageDataForAsset(
        asset, {.networkAccessAllowed = true, .fileOnlyWhenUnedited = true},
        [answer](std::optional<platform::Bytes> data, std::string, platform::ImageOrientation,
                 const photos::ImageRequestInfo& info) {
          {
            std::lock_guard<std::mutex> answerGuard(answer->mutex);
            answer->value = std::move(data);
            answer->info = info;
          }
          answer->done.signal();
        });
    requests_.insert(request);
  }
  image.isUbiImage = false;
  if (!waitForAnswer(answer->done, request)) {
    return backupError(kLMLocalErrorGeneral, "Request image process timed out.");
  }

  std::lock_guard<std::mutex> guard(answer->mutex);
  const photos::ImageRequestInfo& info = answer->info;
  if (info.error) return *info.error;
  if (info.cancelled) return backupError(kLMLocalErrorCancelled, "Request image process is cancelled.");
  // An unedited photo comes as its file alone: it is never held whole.
  const bool fileOnly = !answer->value && info.dataIsFile && info.fileURL;
  if (!answer->value && !fileOnly) {
    return backupError(kLMLocalErrorGeneral, "Request image process returned no data.");
  }
  // The temporary file is named after the library's file; without a usable
  // name there is nowhere safe to put it.
  if (!info.fileURL || !nameFile(image, info.fileURL->filename().string(), "image")) {
    return backupError(kLMLocalErrorGeneral, "Fail to get image file name.");
  }
  if (fileOnly) return digestLibraryPhoto(asset, *info.fileURL, image);
  const platform::Bytes& data = *answer->value;
  image.size = static_cast<std::int64_t>(data.size());
  // Data that is the photo's own file is not copied: the upload reads that
  // file (one that changes meanwhile no longer matches its digests, and the
  // storage refuses its blocks). A rendering goes to a temporary file.
  const bool inPlace = isLibraryFile(info, data);
  if (inPlace) nameLibraryFile(image, *info.fileURL, "image");
  // The temporary file is written, and the photo's properties read, while
  // the helpers digest the bytes.
  platform::Status unsaved;
  std::optional<platform::Json> exif;
  LMBlockDigests digests = digestBlocksOfData(data, [&] {
    if (!inPlace) {
      unsaved = clearTemporaryFile(*image.filePath);
      if (unsaved.ok() && !writeAtomically(*image.filePath, data)) {
        unsaved = backupError(kLMLocalErrorGeneral, "Save temp image data to disk error.");
      }
    }
    if (!unsaved.ok()) return;
    if (auto properties = platform::imagePropertiesWithData(data)) {
      exif = LMUtils::exifInfoFromImageMetadata(*properties, static_cast<double>(asset.pixelWidth),
                                                static_cast<double>(asset.pixelHeight));
    }
  });
  image.sha1 = std::move(digests.sha1);
  image.blockInfos = std::move(digests.blockInfos);
  if (!unsaved.ok()) return unsaved;
  if (exif) image.exifInfo = std::move(*exif);
  return platform::Status::success();
}

platform::Status LMAssetExporter::digestLibraryPhoto(const photos::Asset& asset, const fs::path& file,
                                                   LMImage& image) {
  nameLibraryFile(image, file, "image");
  if (auto digested = digestLibraryFile(file, image); !digested.ok()) return digested;
  if (auto properties = platform::imagePropertiesOfFile(file)) {
    if (auto exif = LMUtils::exifInfoFromImageMetadata(*properties, static_cast<double>(asset.pixelWidth),
                                                       static_cast<double>(asset.pixelHeight))) {
      image.exifInfo = std::move(*exif);
    }
  }
  return platform::Status::success();
}

platform::Status LMAssetExporter::exportVideo(const photos::Asset& asset, LMImage& image) {
  image.duration = asset.duration;
  image.exifInfo = LMUtils::exifInfoFromVideoLocation(asset.location, static_cast<double>(asset.pixelWidth),
                                                      static_cast<double>(asset.pixelHeight));
  auto answer = std::make_shared<Answer<std::shared_ptr<photos::AssetExportSession>>>();
  photos::ImageRequestID request;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    request = photos::ImageManager::defaultManager().requestExportSessionForVideo(
        asset, {.networkAccessAllowed = true}, photos::kAssetExportPresetHighestQuality,
        [answer](std::shared_ptr<photos::AssetExportSession> session, const photos::ImageRequestInfo& info) {
          {
            std::lock_guard<std::mutex> answerGuard(answer->mutex);
            answer->value = std::move(session);
            answer->info = info;
          }
          answer->done.signal();
        });
    requests_.insert(request);
  }
  if (!waitForAnswer(answer->done, request)) {
    return backupError(kLMLocalErrorGeneral, "Request video process timed out.");
  }
  std::shared_ptr<photos::AssetExportSession> exporter;
  photos::ImageRequestInfo info;
  {
    std::lock_guard<std::mutex> guard(answer->mutex);
    exporter = answer->value;
    info = answer->info;
  }
  if (info.error) return *info.error;
  if (info.cancelled) return backupError(kLMLocalErrorCancelled, "Request video process is cancelled.");
  if (!exporter) return backupError(kLMLocalErrorGeneral, "Unknown asset class of AVAssetExportSession.");

  std::optional<platform::Result<LMBlockDigests>> exportedDigests;
  if (exporter->sourceKind() == photos::AssetSourceKind::Composition) {
    // The file is named after the last piece of the library's read grant.
    const std::string token = info.sandboxExtensionToken.value_or("");
    const std::string name = token.substr(token.find_last_of('/') == std::string::npos ? 0 : token.find_last_of('/') + 1);
    if (token.empty() || !nameFile(image, name, "video")) {
      return backupError(kLMLocalErrorGeneral, "Fail to get video file name.");
    }
    // An export never writes over a file; an earlier export of the same
    // video would otherwise fail every later backup of it.
    if (auto removal = clearTemporaryFile(*image.filePath); !removal.ok()) return removal;
    exporter->setOutputURL(*image.filePath);
    const std::string extension = fs::path(name).extension().string();
    exporter->setOutputFileType(
        LMUtils::videoTypeFromFileExtention(extension.empty() ? std::nullopt : std::optional(extension.substr(1)),
                                            exporter->supportedFileTypes())
            .value_or(""));
    auto exported = std::make_shared<platform::Semaphore>();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      exporters_.push_back(exporter);
    }
    exporter->exportAsynchronously([exported] { exported->signal(); });
    // The file is digested as the export writes it. At its end the reader
    // waits a little for more; an export that stops moving for a minute is
    // given up.
    bool finished = false;
    bool stalled = false;
    float lastProgress = -1;
    auto clock = platform::Clock::current();
    auto lastMove = clock->now();
    auto more = [&]() -> bool {
      if (finished || stalled) return false;
      finished = exported->waitFor(platform::seconds(kExportPollSeconds));
      if (finished) return true;  // one more look for the last bytes
      const float progress = exporter->progress();
      if (progress != lastProgress) {
        lastProgress = progress;
        lastMove = clock->now();
      } else if (clock->now() - lastMove >= platform::seconds(kExportStallSeconds)) {
        stalled = true;
      }
      return !stalled;
    };
    exportedDigests = digestBlocksOfGrowingFile(*image.filePath, more);
    while (more()) {
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      std::erase(exporters_, exporter);
    }
    if (stalled) {
      exporter->cancelExport();
      return backupError(kLMLocalErrorGeneral, "Export video process timed out.");
    }
    std::error_code ec;
    switch (exporter->status()) {
      case photos::ExportStatus::Completed:
        if (!fs::exists(*image.filePath, ec)) return backupError(kLMLocalErrorGeneral, "Fail to export video file name.");
        break;
      case photos::ExportStatus::Cancelled:
        return backupError(kLMLocalErrorCancelled, "Export video process is cancelled.");
      default:
        return exporter->error().value_or(backupError(kLMLocalErrorGeneral, "Export video process failed."));
    }
  } else {
    // The movie file itself, unchanged: the upload reads it where it lies.
    if (!nameLibraryFile(image, exporter->sourceURL(), "video")) {
      return backupError(kLMLocalErrorGeneral, "Fail to get video file name.");
    }
  }

  // The library's own movie file, read where it lies.
  if (!image.filePath) return digestLibraryFile(*image.libraryFilePath, image);
  const std::string& file = *image.filePath;
  std::error_code ec;
  const auto fileSize = fs::file_size(file, ec);
  if (ec) {
    return platform::posixError(ec.value(),
                              "Cannot read the exported copy of " + platform::printablePath(fs::path(file).filename()));
  }
  image.size = static_cast<std::int64_t>(fileSize);
  // What was digested during the export stands if it covers the whole file.
  const bool covered = exportedDigests && exportedDigests->ok() && (*exportedDigests)->size == *image.size;
  auto digests = covered ? std::move(*exportedDigests) : digestBlocksOfFile(file, *image.size);
  if (!digests) return digests.error();
  image.sha1 = std::move(digests->sha1);
  image.blockInfos = std::move(digests->blockInfos);
  return platform::Status::success();
}

}  // namespace lumora
