// The app icon as the reporting platform sends it at onboarding: the PNG
// bytes (decoded and encoded again), the SHA-1 text of the file as found in
// the bundle, its size in pixels and whether it is prerendered. Icons above
// 152 x 152 pixels in area are not sent.
// Plain value; any thread. Failure: an unreadable or undecodable file gives
// no icon.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace lumora {

struct HBRIconSize {
  double width = 0;
  double height = 0;
};

// The largest icon area sent: 152 x 152 pixels.
inline constexpr double kHBRIconMaxSurfaceArea = 23104;

class HBRIcon {
 public:
  HBRIcon(platform::Bytes data, std::string dataHash, HBRIconSize size, bool prerendered);
  // Hashes `data` itself.
  HBRIcon(platform::Bytes data, HBRIconSize size, bool prerendered = true);
  // The file's bytes hashed, decoded and encoded again as PNG.
  static std::optional<HBRIcon> initWithPNGImageAtPath(const std::filesystem::path& path, HBRIconSize size,
                                                       bool prerendered);

  double surfaceArea() const { return size_.width * size_.height; }
  bool isWithinMaxSurfaceArea() const { return surfaceArea() <= kHBRIconMaxSurfaceArea; }
  bool largerThanSize(HBRIconSize size) const { return surfaceArea() > size.width * size.height; }
  // A pixel size (an image's size times its scale) against the same bound.
  static bool isWithinMaxSurfaceAreaWithImage(HBRIconSize pixelSize) {
    return pixelSize.width * pixelSize.height <= kHBRIconMaxSurfaceArea;
  }

  const platform::Bytes& data() const { return data_; }
  const std::string& dataHash() const { return dataHash_; }
  HBRIconSize size() const { return size_; }
  bool prerendered() const { return prerendered_; }

 private:
  platform::Bytes data_;
  std::string dataHash_;
  HBRIconSize size_;
  bool prerendered_ = false;
};

}  // namespace lumora
