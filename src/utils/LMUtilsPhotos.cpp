// LMUtils: safe file names, and the photo and asset helpers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <fmt/format.h>

#include "utils/LMUtils.h"
#include "platform/JsonValues.h"
#include "platform/photos/AssetExportSession.h"

namespace lumora {
namespace {

using platform::Json;

// The sub-dictionary `name` of the metadata when it is a non-empty object.
const Json* subDictionary(const Json& metadata, const char* name) {
  auto it = metadata.find(name);
  if (it == metadata.end() || !platform::isNonEmptyObject(*it)) return nullptr;
  return &*it;
}

const Json* numberAt(const Json* dict, const char* key) {
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it != dict->end() && it->is_number() ? &*it : nullptr;
}

const Json* textAt(const Json* dict, const char* key) {
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it != dict->end() && platform::isNonEmptyString(*it) ? &*it : nullptr;
}

// The decimal text the platform gives a number.
std::string decimalText(const Json& number) {
  if (number.is_number_integer()) return fmt::format("{}", number.get<std::int64_t>());
  if (number.is_number_unsigned()) return fmt::format("{}", number.get<std::uint64_t>());
  return fmt::format("{}", number.get<double>());
}

std::int64_t truncated(double value) {
  if (!std::isfinite(value)) return 0;
  constexpr double kLimit = 9.2e18;
  return static_cast<std::int64_t>(std::clamp(value, -kLimit, kLimit));
}

}  // namespace

// ---- Files ----

bool LMUtils::isSafeFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::optional<std::filesystem::path> LMUtils::fileInDirectory(const std::filesystem::path& directory,
                                                              std::string_view name) {
  if (!isSafeFileName(name)) return std::nullopt;
  return directory / std::filesystem::path(std::string(name));
}

// ---- Photos and assets ----

std::optional<Json> LMUtils::exifInfoFromImageMetadata(const Json& metadata, double width, double height) {
  if (!platform::isNonEmptyObject(metadata)) return std::nullopt;
  const Json* tiff = subDictionary(metadata, "{TIFF}");
  const Json* exif = subDictionary(metadata, "{Exif}");
  const Json* gps = subDictionary(metadata, "{GPS}");

  Json info = Json::object();
  auto copyText = [&](const char* out, const Json* dict, const char* key) {
    if (const Json* value = textAt(dict, key)) info[out] = *value;
  };
  auto copyNumber = [&](const char* out, const Json* dict, const char* key) {
    if (const Json* value = numberAt(dict, key)) info[out] = *value;
  };
  auto copyDecimal = [&](const char* out, const Json* dict, const char* key) {
    if (const Json* value = numberAt(dict, key)) info[out] = decimalText(*value);
  };
  auto copyGPS = [&](const char* out, const char* key) {
    if (const Json* value = numberAt(gps, key)) info[out] = gpsInfoConvert(value->get<double>());
  };

  copyText("model", tiff, "Model");
  copyText("make", tiff, "Make");
  copyText("dateTime", tiff, "DateTime");
  copyNumber("orientation", tiff, "Orientation");
  copyNumber("whiteBalance", exif, "WhiteBalance");
  copyDecimal("focalLength", exif, "FocalLength");
  copyNumber("flash", exif, "Flash");
  copyDecimal("exposureTime", exif, "ExposureTime");
  if (exif != nullptr) {
    auto ratings = exif->find("ISOSpeedRatings");
    if (ratings != exif->end() && platform::isNonEmptyArray(*ratings) && (*ratings)[0].is_number()) {
      info["ISOSpeedRatings"] = decimalText((*ratings)[0]);
    }
  }
  copyDecimal("FNumber", exif, "FNumber");
  copyText("GPSDateStamp", gps, "DateStamp");
  copyText("GPSTimeStamp", gps, "TimeStamp");
  copyGPS("GPSAltitude", "Altitude");
  copyNumber("GPSAltitudeRef", gps, "AltitudeRef");
  copyGPS("GPSLongitude", "Longitude");
  copyText("GPSLongitudeRef", gps, "LongitudeRef");
  copyGPS("GPSLatitude", "Latitude");
  copyText("GPSLatitudeRef", gps, "LatitudeRef");
  copyText("GPSProcessingMethod", gps, "ProcessingMethod");
  info["imageWidth"] = truncated(width);
  info["imageLength"] = truncated(height);
  return info;
}

Json LMUtils::exifInfoFromVideoLocation(const std::optional<platform::Location>& location, double width,
                                        double height) {
  Json info = Json::object();
  if (location) {
    info["GPSLongitude"] = location->longitude;
    info["GPSLatitude"] = location->latitude;
  }
  info["imageWidth"] = truncated(width);
  info["imageLength"] = truncated(height);
  return info;
}

std::string LMUtils::gpsInfoConvert(double value) {
  const double a = std::isfinite(value) ? std::fabs(value) : 0.0;
  const double degrees = std::floor(a);
  const double minutesExact = (a - degrees) * 60;
  const double minutes = std::floor(minutesExact);
  const double seconds = (minutesExact - minutes) * 60;
  constexpr double kIntMax = std::numeric_limits<int>::max();
  char text[64];
  std::snprintf(text, sizeof text, "%i/1,%i/1,%.3f/1", static_cast<int>(std::min(degrees, kIntMax)),
                static_cast<int>(minutes), seconds);
  return text;
}

std::optional<std::string> LMUtils::extFromImageData(const platform::Bytes& data) {
  if (data.empty()) return std::nullopt;
  switch (data[0]) {
    case 0xFF: return ".jpg";
    case 0x89: return ".png";
    case 'G': return ".gif";
    case 'B': return ".bmp";
    case 'I':
    case 'M': return ".tiff";
    case 'F': return ".iff";
    case 'R': return ".ani";
    case 0x0A: return ".pcx";
    case 0x00: {
      if (data.size() < 5) return std::nullopt;
      const std::uint32_t word = static_cast<std::uint32_t>(data[1]) | static_cast<std::uint32_t>(data[2]) << 8 |
                                 static_cast<std::uint32_t>(data[3]) << 16 |
                                 static_cast<std::uint32_t>(data[4]) << 24;
      if (word == 0x00000200 || word == 0x00001000) return ".tga";
      if (word == 0x01000100) return ".ico";
      if (word == 0x01000200) return ".cur";
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

platform::ImageOrientation LMUtils::imageOrientationFromALAssetOrientation(std::int64_t orientation) {
  if (orientation < 0 || orientation > 7) return platform::ImageOrientation::Up;
  return static_cast<platform::ImageOrientation>(orientation);
}

std::optional<platform::Image> LMUtils::imageRecoverOrientationWithImage(const platform::Image& image) {
  if (image.orientation() == platform::ImageOrientation::Up) return std::nullopt;
  return image.uprightImage();
}

platform::Result<platform::Image> LMUtils::scaleImage(const platform::Image& image, double width,
                                                      double height) {
  return image.scaledToFill(width, height);
}

std::optional<std::string> LMUtils::assetGroupURLFromAssetID(std::string_view assetID) {
  if (assetID.empty()) return std::nullopt;
  return "assets-library://group/?id=" + std::string(assetID);
}

std::optional<std::string> LMUtils::videoTypeFromFileExtention(const std::optional<std::string>& extension,
                                                               const std::vector<std::string>& supportedTypes) {
  namespace photos = platform::photos;
  if (supportedTypes.empty()) return std::nullopt;
  if (!platform::hasText(extension)) return supportedTypes.front();
  const std::string lower = platform::lowerCased(*extension);
  std::string mapped;
  if (lower == "3gp" || lower == "3gpp" || lower == "sdv") mapped = photos::kFileType3GPP;
  else if (lower == "3g2" || lower == "3gp2") mapped = photos::kFileType3GPP2;
  else if (lower == "m4v") mapped = photos::kFileTypeAppleM4V;
  else if (lower == "mp4") mapped = photos::kFileTypeMPEG4;
  else if (lower == "mov" || lower == "qt") mapped = photos::kFileTypeQuickTimeMovie;
  for (const auto& type : supportedTypes) {
    if (!mapped.empty() && type == mapped) return type;
  }
  return supportedTypes.front();
}

}  // namespace lumora
