#include "server/services/CaptchaImage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "server/services/VipsBuffers.h"

namespace localcloud {

namespace {

constexpr int kGlyphColumns = 5;
constexpr int kGlyphRows = 7;
constexpr std::uint8_t kGround = 236;
constexpr std::uint8_t kInk = 40;
constexpr std::uint8_t kLine = 170;

// One row a byte, the leftmost column in bit 4.
constexpr std::array<std::array<std::uint8_t, kGlyphRows>, 10> kDigits{{
    {0x0e, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0e},  // 0
    {0x04, 0x0c, 0x04, 0x04, 0x04, 0x04, 0x0e},  // 1
    {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f},  // 2
    {0x1f, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0e},  // 3
    {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02},  // 4
    {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e},  // 5
    {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e},  // 6
    {0x1f, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e},  // 8
    {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c},  // 9
}};

class Canvas {
 public:
  Canvas() : pixels_(static_cast<std::size_t>(kCaptchaPixelWidth * kCaptchaPixelHeight), kGround) {}

  void fill(int x, int y, int width, int height, std::uint8_t value) {
    for (int row = std::max(0, y); row < std::min(kCaptchaPixelHeight, y + height); ++row) {
      for (int column = std::max(0, x); column < std::min(kCaptchaPixelWidth, x + width); ++column) {
        pixels_[static_cast<std::size_t>(row * kCaptchaPixelWidth + column)] = value;
      }
    }
  }

  // A line two pixels thick from the left edge to the right one.
  void lineAcross(int fromY, int toY, std::uint8_t value) {
    for (int x = 0; x < kCaptchaPixelWidth; ++x) {
      const int y = fromY + (toY - fromY) * x / (kCaptchaPixelWidth - 1);
      fill(x, y, 1, 2, value);
    }
  }

  void glyph(char c, int x, int y, int block) {
    if (c < '0' || c > '9') return;
    const auto& rows = kDigits[static_cast<std::size_t>(c - '0')];
    for (int row = 0; row < kGlyphRows; ++row) {
      for (int column = 0; column < kGlyphColumns; ++column) {
        if ((rows[static_cast<std::size_t>(row)] >> (kGlyphColumns - 1 - column)) & 1) {
          fill(x + column * block, y + row * block, block, block, kInk);
        }
      }
    }
  }

  std::string png() const {
    if (!startVips()) return {};
    // The pixels stay ours: libvips borrows them while it writes the PNG.
    try {
      return writeImageToBuffer(vips::VImage::new_from_memory(const_cast<std::uint8_t*>(pixels_.data()),
                                                              pixels_.size(), kCaptchaPixelWidth,
                                                              kCaptchaPixelHeight, 1, VIPS_FORMAT_UCHAR),
                                ".png");
    } catch (const vips::VError&) {
      return {};
    }
  }

 private:
  std::vector<std::uint8_t> pixels_;
};

}  // namespace

std::string captchaImagePng(const std::string& code) {
  Canvas canvas;
  canvas.lineAcross(kCaptchaPixelHeight / 4, kCaptchaPixelHeight * 3 / 4, kLine);
  canvas.lineAcross(kCaptchaPixelHeight * 2 / 3, kCaptchaPixelHeight / 3, kLine);
  // Blocks of 6 pixels with a gap of 8 between digits hold five digits;
  // a longer code gets smaller blocks so that all of it shows.
  const int count = std::max<int>(1, static_cast<int>(code.size()));
  const int margin = 12;
  int block = 6;
  int gap = 8;
  while (block > 1 && count * kGlyphColumns * block + (count - 1) * gap > kCaptchaPixelWidth - 2 * margin) {
    --block;
    gap = block + 2;
  }
  const int width = count * kGlyphColumns * block + (count - 1) * gap;
  int x = (kCaptchaPixelWidth - width) / 2;
  const int top = (kCaptchaPixelHeight - kGlyphRows * block) / 2;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const int lift = (i % 2 == 0 ? -1 : 1) * block * 2 / 3;
    canvas.glyph(code[i], x, top + lift, block);
    x += kGlyphColumns * block + gap;
  }
  return canvas.png();
}

}  // namespace localcloud
