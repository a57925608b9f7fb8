// A cloud photo's pictures drawn upright. The cloud hands out a photo's
// thumbnails and its large picture as the photo is stored, without its
// tags; every view that shows one (an album's cover and the photos stacked
// behind it, the photo grid, the browser's pages) loads it through here
// with the EXIF orientation its backup sent with the photo, and gets it
// turned, mirrored back where the orientation mirrors, on the image
// loading queue before it is kept and shown. A HEIF photo is decoded
// upright by its own decoder and sent with no orientation, so it is shown
// as it comes.
//
// The image cache keeps the upright picture under a key of its own (the
// address with the turn), so a picture as stored and an upright one never
// stand for each other; for orientation 1 (or none known) the two are the
// same picture, kept under the address alone.
//
// Ownership: class functions only. Threading: main thread. Failure: as the
// image loads': the view keeps its placeholder and the completion gets
// the error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/ui/ImageViewWebCache.h"

namespace lumora {

class LMCloudPhotoImage {
 public:
  LMCloudPhotoImage() = delete;

  // The load's change for an EXIF orientation: none for 1 or a value out
  // of 1 to 8.
  static platform::ui::WebImageTransform uprightTransform(std::int64_t orientation);
  // Loads the picture at `url` into `view` (placeholder, then the upright
  // picture), as platform::ui::setImageWithURL does.
  static void setImageWithURL(const std::shared_ptr<platform::ui::ImageView>& view, const std::string& url,
                              std::int64_t orientation, std::optional<platform::ui::Image> placeholder = std::nullopt,
                              platform::ui::WebImageOptions options = {},
                              platform::ui::WebImageCompletion completed = {});
  // The upright picture the cache keeps for the address: memory, else the
  // disk, read now.
  static std::optional<platform::ui::Image> cachedImage(const std::string& url, std::int64_t orientation,
                                                        platform::ui::Size shownPixels = {});
};

}  // namespace lumora
