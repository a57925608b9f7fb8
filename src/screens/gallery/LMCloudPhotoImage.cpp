#include "screens/gallery/LMCloudPhotoImage.h"

#include "screens/common/LMCustomUtils.h"

namespace lumora {

namespace ui = platform::ui;

ui::WebImageTransform LMCloudPhotoImage::uprightTransform(std::int64_t orientation) {
  if (orientation < 2 || orientation > 8) return {};
  const int exif = static_cast<int>(orientation);
  return {"upright-" + std::to_string(exif), [exif](const ui::Image& image) {
            if (!image.bitmap()) return image;
            return ui::Image::imageWithBitmap(LMCustomUtils::rotateImage(*image.bitmap(), exif), image.scale());
          }};
}

void LMCloudPhotoImage::setImageWithURL(const std::shared_ptr<ui::ImageView>& view, const std::string& url,
                                        std::int64_t orientation, std::optional<ui::Image> placeholder,
                                        ui::WebImageOptions options, ui::WebImageCompletion completed) {
  options.transform = uprightTransform(orientation);
  ui::setImageWithURL(view, url, std::move(placeholder), std::move(options), std::move(completed));
}

std::optional<ui::Image> LMCloudPhotoImage::cachedImage(const std::string& url, std::int64_t orientation,
                                                        ui::Size shownPixels) {
  return ui::WebImageManager::sharedManager().imageCache().imageFromDiskCache(
      ui::ImageCache::cacheKeyForURL(url, uprightTransform(orientation).key), shownPixels);
}

}  // namespace lumora
