// PNG pictures through libpng: the pixel size of a PNG file and its pixels
// encoded again as a fresh PNG (the platform's decode-and-re-encode of an
// app icon). Pixels are held as 8-bit RGBA.
//
// Ownership: a plain value. Threading: any thread. Failure: bytes that are
// no readable PNG give an Error in kImageErrorDomain
// (kImageErrorUndecodable), never a crash; so does a picture beyond
// kMaxPngPixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/Bytes.h"
#include "platform/Result.h"

namespace platform {

// Large enough for any icon or screen picture; bounds what a damaged header
// could ask to be allocated.
inline constexpr std::size_t kMaxPngPixels = 64u * 1024 * 1024;

class PngImage {
 public:
  static Result<PngImage> decode(const Bytes& data);
  // A picture of 8-bit RGBA pixels, row by row (4 x width x height bytes;
  // pngData refuses any other count).
  PngImage(std::uint32_t width, std::uint32_t height, Bytes rgba)
      : width_(width), height_(height), rgba_(std::move(rgba)) {}

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  // The pixels as a new PNG file.
  Result<Bytes> pngData() const;

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  Bytes rgba_;
};

}  // namespace platform
