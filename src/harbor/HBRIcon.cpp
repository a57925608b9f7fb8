#include "harbor/HBRIcon.h"

#include <fstream>
#include <iterator>
#include <utility>

#include "harbor/HBRBundle.h"
#include "platform/media/PngImage.h"

namespace lumora {

HBRIcon::HBRIcon(platform::Bytes data, std::string dataHash, HBRIconSize size, bool prerendered)
    : data_(std::move(data)), dataHash_(std::move(dataHash)), size_(size), prerendered_(prerendered) {}

HBRIcon::HBRIcon(platform::Bytes data, HBRIconSize size, bool prerendered)
    : dataHash_(HBRSHA1HexStringFromData(data)), size_(size), prerendered_(prerendered) {
  data_ = std::move(data);
}

std::optional<HBRIcon> HBRIcon::initWithPNGImageAtPath(const std::filesystem::path& path, HBRIconSize size,
                                                       bool prerendered) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  platform::Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.empty()) return std::nullopt;
  auto image = platform::PngImage::decode(file);
  if (!image) return std::nullopt;
  auto png = image->pngData();
  if (!png) return std::nullopt;
  return HBRIcon(std::move(*png), HBRSHA1HexStringFromData(file), size, prerendered);
}

}  // namespace lumora
