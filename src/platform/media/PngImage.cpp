#include "platform/media/PngImage.h"

#include <png.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/media/Image.h"

namespace platform {
namespace {

Error pngError(const std::string& message) {
  return Error(kImageErrorDomain, kImageErrorUndecodable, Json{{Error::kLocalizedDescriptionKey, message}});
}

}  // namespace

Result<PngImage> PngImage::decode(const Bytes& data) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
    return pngError(std::string("not a PNG: ") + image.message);
  }
  if (image.width == 0 || image.height == 0 ||
      std::size_t{image.width} * image.height > kMaxPngPixels) {
    png_image_free(&image);
    return pngError("the PNG's size is out of range");
  }
  image.format = PNG_FORMAT_RGBA;
  Bytes rgba(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
    std::string message = image.message;
    png_image_free(&image);
    return pngError("a damaged PNG: " + message);
  }
  return PngImage(image.width, image.height, std::move(rgba));
}

Result<Bytes> PngImage::pngData() const {
  if (width_ == 0 || height_ == 0 || rgba_.size() != std::size_t{width_} * height_ * 4) {
    return pngError("the pixels do not fill the picture");
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width_;
  image.height = height_;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba_.data(), 0, nullptr)) {
    return pngError(std::string("cannot encode: ") + image.message);
  }
  Bytes out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba_.data(), 0, nullptr)) {
    return pngError(std::string("cannot encode: ") + image.message);
  }
  out.resize(size);
  return out;
}

}  // namespace platform
