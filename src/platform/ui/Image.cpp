#include "platform/ui/Image.h"

#include <map>

#include "platform/ui/Resources.h"

namespace platform::ui {

std::optional<Image> Image::imageNamed(const std::string& name) {
  static std::map<std::string, std::optional<Image>> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  auto path = resourceDirectory() / "images" / name;
  // A name without an extension means a PNG, as on the phone.
  if (!path.has_extension()) path += ".png";
  auto image = imageWithContentsOfFile(path);
  cache.emplace(name, image);
  return image;
}

std::optional<Image> Image::imageWithContentsOfFile(const std::filesystem::path& path, double scale) {
  auto decoded = platform::Image::imageWithContentsOfFile(path);
  if (!decoded.ok()) return std::nullopt;
  auto source = std::make_shared<Source>();
  source->path = path;
  source->pixelSize = {static_cast<double>(decoded->width()), static_cast<double>(decoded->height())};
  source->bitmap = std::move(decoded).value();
  return Image(std::move(source), scale);
}

Image Image::imageWithBitmap(platform::Image bitmap, double scale) {
  auto source = std::make_shared<Source>();
  source->pixelSize = {static_cast<double>(bitmap.width()), static_cast<double>(bitmap.height())};
  source->bitmap = std::move(bitmap);
  return Image(std::move(source), scale);
}

Image Image::imageWithPicture(DisplayList list, Size pixelSize) {
  auto source = std::make_shared<Source>();
  source->picture = std::move(list);
  source->pixelSize = pixelSize;
  return Image(std::move(source), 1);
}

Size Image::size() const {
  return {source_->pixelSize.width / scale_, source_->pixelSize.height / scale_};
}

Image Image::resizableImageWithCapInsets(const EdgeInsets& insets) const {
  Image copy = *this;
  copy.capInsets_ = insets;
  return copy;
}

}  // namespace platform::ui
