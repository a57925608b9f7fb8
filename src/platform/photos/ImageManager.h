// Hands out the contents of library assets (the phone's image manager): a
// photo's file bytes with its file URL, and an export session for a video.
// Each request answers an id at once and its handler later, on the
// manager's delivery queue (never on the caller's thread); a request still
// pending can be cancelled, and its handler then runs with `cancelled` set.
//
// Ownership: defaultManager() lives for the process.
// Threading: every member may be called from any thread.
// Failure: a handler gets info.error (kPhotosErrorDomain) for an asset of
// the wrong kind or whose file cannot be read, or a picture that cannot be
// drawn at the size asked; for a photo's bytes or a video's export, the
// file's own failure (AssetFile.h): gone, unreadable, or damaged (a file
// that does not read as the photo or video its name says).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/media/Image.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/AssetExportSession.h"
#include "platform/photos/Types.h"

namespace platform::photos {

using ImageRequestID = std::int32_t;

// What the library says beside a result.
struct ImageRequestInfo {
  std::optional<Error> error;
  bool cancelled = false;
  std::optional<std::filesystem::path> fileURL;      // a photo's file
  bool dataIsFile = false;  // a photo's data is its file's bytes as they lie (not a rendering)
  std::optional<std::string> sandboxExtensionToken;  // a video's read grant, ending with its path
};

struct ImageRequestOptions {
  bool networkAccessAllowed = false;
  // A photo whose data would be its file's bytes as they lie is answered
  // without them (no data; info.fileURL and info.dataIsFile set): the
  // caller reads the file itself, as far as it needs at a time.
  bool fileOnlyWhenUnedited = false;
};

// How a picture meets a target size: wholly inside it (AspectFit), or
// covering it, cut to it (AspectFill).
enum class ImageContentMode { AspectFit, AspectFill };

using ImageResultHandler = std::function<void(std::optional<Image> image, const ImageRequestInfo& info)>;
using ImageDataHandler = std::function<void(std::optional<Bytes> data, std::string dataUTI,
                                            ImageOrientation orientation, const ImageRequestInfo& info)>;
using ExportSessionHandler =
    std::function<void(std::shared_ptr<AssetExportSession> session, const ImageRequestInfo& info)>;

class ImageManager {
 public:
  static ImageManager& defaultManager();

  ImageRequestID requestImageDataForAsset(const Asset& asset, const ImageRequestOptions& options,
                                          ImageDataHandler handler);
  // A photo drawn upright at a target size in pixels (the result of
  // AspectFit keeps the photo's proportions inside it).
  ImageRequestID requestImageForAsset(const Asset& asset, double targetWidth, double targetHeight,
                                      ImageContentMode contentMode, const ImageRequestOptions& options,
                                      ImageResultHandler handler);
  ImageRequestID requestExportSessionForVideo(const Asset& asset, const ImageRequestOptions& options,
                                              const std::string& exportPreset, ExportSessionHandler handler);
  // A request not yet answered is answered as cancelled; others are left.
  void cancelImageRequest(ImageRequestID request);

  // Test seams. While held, answers wait (so that a test can cancel a
  // pending request); releasing sends them. The source kind of the export
  // sessions handed out (a composition unless set). Rendered photo data:
  // a photo's data is a new JPEG of its pixels, as for an edited photo,
  // not its file.
  void setRequestsHeld(bool held);
  void setExportSourceKind(AssetSourceKind kind);
  void setPhotoDataRendered(bool rendered);

  // Requests asked for and not yet answered.
  std::size_t pendingRequestCount() const;

 private:
  ImageManager() = default;
  struct Pending {
    std::function<void()> answer;
    std::function<void()> cancel;
  };
  ImageRequestID add(Pending pending);
  void send(ImageRequestID request, bool cancelled);

  mutable std::mutex mutex_;
  std::map<ImageRequestID, Pending> pending_;
  ImageRequestID nextID_ = 1;
  bool held_ = false;
  AssetSourceKind exportKind_ = AssetSourceKind::Composition;
  bool rendered_ = false;
  SerialQueue queue_{"platform.photos.image-manager"};
};

}  // namespace platform::photos
