// Hands out the contents of library assets (the phone's image manager): a
// photo's file bytes with its file URL, a photo drawn at a size, and an
// export session for a video. Each request answers an id at once and its
// handler later, on the manager's delivery queue or, for a drawn photo, on
// one of its drawing threads (never on the caller's thread). Bytes and
// export sessions are handed out one at a time, in the order asked; drawn
// photos are decoded a few at a time (kDrawingThreads), in the order
// asked, each on its own, so that they neither wait behind the others'
// work nor hold more than a few decodings in memory at once. A request not
// yet answered can be cancelled: it is then never worked on, and its
// handler runs with `cancelled` set.
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
#include "platform/dispatch/ConcurrentQueue.h"
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
  // AspectFit keeps the photo's proportions inside it), decoded from its
  // file at that size (Image::drawnFromFile): the picture is in memory,
  // drawing it decodes nothing.
  ImageRequestID requestImageForAsset(const Asset& asset, double targetWidth, double targetHeight,
                                      ImageContentMode contentMode, const ImageRequestOptions& options,
                                      ImageResultHandler handler);
  ImageRequestID requestExportSessionForVideo(const Asset& asset, const ImageRequestOptions& options,
                                              const std::string& exportPreset, ExportSessionHandler handler);
  // A request not yet answered is taken out of the line at once and
  // answered as cancelled; others are left.
  void cancelImageRequest(ImageRequestID request);

  // How many photos are drawn at once.
  static constexpr std::size_t kDrawingThreads = 3;

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
  // Those and the requests being answered, until their handlers return.
  std::size_t unfinishedRequestCount() const;

  // Test seam: told of each photo the drawing threads decoded (or failed
  // to) for a request, on that thread, before the request is answered
  // (nullptr ends it).
  struct Drawing {
    std::string localIdentifier;
    int width = 0;   // the size drawn, in pixels; 0 when it could not be drawn
    int height = 0;
    bool fromOwnThumbnail = false;  // a HEIF picture's own thumbnail was read, not the picture
  };
  void setDrawingObserverForTesting(std::function<void(const Drawing&)> observer);

 private:
  ImageManager() = default;
  struct Pending {
    std::function<void()> answer;
    std::function<void()> cancel;
    bool drawing = false;  // a drawn photo: worked on by the drawing threads
  };
  // Sends the request on its own line.
  void post(ImageRequestID request, bool drawing);
  void drew(const Drawing& drawing);
  ImageRequestID add(Pending pending);
  // Answers the request unless it was cancelled.
  void send(ImageRequestID request);

  mutable std::mutex mutex_;
  std::map<ImageRequestID, Pending> pending_;
  std::size_t working_ = 0;  // requests being answered
  ImageRequestID nextID_ = 1;
  bool held_ = false;
  AssetSourceKind exportKind_ = AssetSourceKind::Composition;
  bool rendered_ = false;
  std::shared_ptr<const std::function<void(const Drawing&)>> drawingObserver_;
  SerialQueue queue_{"platform.photos.image-manager"};
  ConcurrentQueue drawings_{"platform.photos.image-manager.drawing", kDrawingThreads};
};

}  // namespace platform::photos
