// The kit's image: a bitmap from a file (decoded with platform::Image) or a
// recorded picture (a DisplayList of a given pixel size, rasterised by the
// renderer), with its scale (pixels per point) and the cap insets that make
// it stretchable. Named images come from the resource folder's images/
// (drawn at scale 2); the device-size variants carry the suffixes "6",
// "6p" and "6P" in their names.
//
// Ownership: a cheap value; copies share the bitmap or picture. Threading:
// main thread. Failure: a name or file that does not decode gives nullopt.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/media/Image.h"
#include "platform/ui/DisplayList.h"
#include "platform/ui/Geometry.h"

namespace platform::ui {

class Image {
 public:
  static std::optional<Image> imageNamed(const std::string& name);
  static std::optional<Image> imageWithContentsOfFile(const std::filesystem::path& path, double scale = 2);
  static Image imageWithBitmap(platform::Image bitmap, double scale = 1);
  // A picture `pixelSize` large (scale 1) drawn by `list`.
  static Image imageWithPicture(DisplayList list, Size pixelSize);

  // In points.
  Size size() const;
  double scale() const { return scale_; }
  const EdgeInsets& capInsets() const { return capInsets_; }
  Image resizableImageWithCapInsets(const EdgeInsets& insets) const;

  // The file it came from (empty for bitmaps and pictures).
  const std::filesystem::path& path() const { return source_->path; }
  const std::optional<platform::Image>& bitmap() const { return source_->bitmap; }
  const std::optional<DisplayList>& picture() const { return source_->picture; }
  Size pixelSize() const { return source_->pixelSize; }
  // The same for every copy of one image: a key for the renderer's caches.
  const void* identity() const { return source_.get(); }
  // Expires with the image's pixels: what tells a cache keyed by identity()
  // that the address now names another image.
  std::weak_ptr<const void> identityOwner() const { return source_; }

 private:
  struct Source {
    std::filesystem::path path;
    std::optional<platform::Image> bitmap;
    std::optional<DisplayList> picture;
    Size pixelSize;
  };
  Image(std::shared_ptr<const Source> source, double scale) : source_(std::move(source)), scale_(scale) {}

  std::shared_ptr<const Source> source_;
  double scale_ = 1;
  EdgeInsets capInsets_;
};

}  // namespace platform::ui
