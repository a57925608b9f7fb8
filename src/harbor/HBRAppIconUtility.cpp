#include "harbor/HBRAppIconUtility.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/diagnostics/Console.h"
#include "platform/device/Bundle.h"
#include "platform/media/PngImage.h"

namespace lumora {
namespace {

void logMalformedField(const std::string& field) {
  platform::consoleLog("[Harbor] Info.plist field " + field + " appears malformed");
}

// The names of a JSON array of strings (others are skipped).
std::vector<std::string> namesOf(const platform::Json& array) {
  std::vector<std::string> names;
  for (const auto& entry : array) {
    if (entry.is_string()) names.push_back(entry.get<std::string>());
  }
  return names;
}

}  // namespace

std::optional<HBRIcon> HBRAppIconUtility::applicationIcon() {
  if (!applicationIcon_) applicationIcon_ = fetchApplicationIcon();
  return applicationIcon_;
}

platform::Json HBRAppIconUtility::appInfoDictionary() { return platform::Bundle::infoDictionary(); }

std::string HBRAppIconUtility::iconRootPath() { return platform::Bundle::bundlePath(); }

HBRIconSize HBRAppIconUtility::sizeForImage(const std::string& name, std::uint32_t pixelWidth,
                                            std::uint32_t pixelHeight) {
  std::string stem = name;
  if (isIconImageFileNameExtensionPresentInName(stem)) stem.resize(stem.size() - 4);
  const bool doubled = stem.ends_with("@2x") || stem.find("@2x~") != std::string::npos;
  const double scale = doubled ? 2.0 : 1.0;
  // The picture's size in points, times its scale.
  return HBRIconSize{pixelWidth / scale * scale, pixelHeight / scale * scale};
}

bool HBRAppIconUtility::isIconImageFileNameExtensionPresentInName(const std::string& name) {
  return platform::lowerCased(std::filesystem::path(name).extension().string()) == ".png";
}

void HBRAppIconUtility::addIconNameWithModifier(const std::string& modifier, const std::string& name,
                                                std::vector<std::string>& names) {
  std::string variant = name + modifier;
  if (std::find(names.begin(), names.end(), variant) == names.end()) names.push_back(std::move(variant));
}

std::vector<std::string> HBRAppIconUtility::iconNameSetWithAlternateNamesAddedToIconNameSet(
    const std::vector<std::string>& names) {
  std::vector<std::string> set;
  for (const auto& name : names) addIconNameWithModifier("", name, set);
  const std::vector<std::string> originals = set;
  for (const auto& name : originals) {
    if (isIconImageFileNameExtensionPresentInName(name)) continue;
    for (const char* modifier : {"@2x", "~ipad", "@2x~ipad"}) addIconNameWithModifier(modifier, name, set);
  }
  return set;
}

std::optional<HBRIcon> HBRAppIconUtility::largestIconInIconNames(const std::vector<std::string>& names,
                                                                 bool prerendered) {
  const std::filesystem::path root = iconRootPath();
  std::optional<std::filesystem::path> bestPath;
  HBRIconSize bestSize;
  double bestArea = 0;
  for (const auto& name : iconNameSetWithAlternateNamesAddedToIconNameSet(names)) {
    std::filesystem::path path = root / name;
    if (!isIconImageFileNameExtensionPresentInName(name)) path += ".png";
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    platform::Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = platform::PngImage::decode(file);
    if (!image) continue;
    HBRIconSize size = sizeForImage(path.filename().string(), image->width(), image->height());
    const double area = size.width * size.height;
    if (area > bestArea && HBRIcon::isWithinMaxSurfaceAreaWithImage(size)) {
      bestArea = area;
      bestSize = size;
      bestPath = path;
    }
  }
  if (!bestPath) return std::nullopt;
  return HBRIcon::initWithPNGImageAtPath(*bestPath, bestSize, prerendered);
}

std::optional<HBRIcon> HBRAppIconUtility::iconFromIOS7StyleCFBundleIconsInFieldWithKey(const std::string& key) {
  const platform::Json info = appInfoDictionary();
  auto field = info.find(key);
  if (field == info.end()) return std::nullopt;
  if (!field->is_object()) {
    logMalformedField(key);
    return std::nullopt;
  }
  auto primary = field->find("CFBundlePrimaryIcon");
  if (primary == field->end()) return std::nullopt;
  if (!primary->is_object()) {
    logMalformedField("CFBundlePrimaryIcon");
    return std::nullopt;
  }
  auto files = primary->find("CFBundleIconFiles");
  if (files == primary->end()) return std::nullopt;
  if (!files->is_array()) {
    logMalformedField("CFBundleIconFiles");
    return std::nullopt;
  }
  auto flag = primary->find("UIPrerenderedIcon");
  const bool prerendered = flag != primary->end() && flag->is_boolean() && flag->get<bool>();
  return largestIconInIconNames(namesOf(*files), prerendered);
}

std::optional<HBRIcon> HBRAppIconUtility::iconFromCFBundleIconFiles() {
  const platform::Json info = appInfoDictionary();
  auto files = info.find("CFBundleIconFiles");
  if (files == info.end()) return std::nullopt;
  if (!files->is_array()) {
    logMalformedField("CFBundleIconFiles");
    return std::nullopt;
  }
  return largestIconInIconNames(namesOf(*files), false);
}

std::optional<HBRIcon> HBRAppIconUtility::iconFromCFBundleIconFile() {
  const platform::Json info = appInfoDictionary();
  auto file = info.find("CFBundleIconFile");
  if (file == info.end()) return std::nullopt;
  if (!file->is_string()) {
    logMalformedField("CFBundleIconFile");
    return std::nullopt;
  }
  return largestIconInIconNames({file->get<std::string>()}, false);
}

std::optional<HBRIcon> HBRAppIconUtility::iconByFallingBackOnDefaultIconNamingConvention() {
  return largestIconInIconNames({"Icon.png", "Icon@2x.png", "Icon-72.png", "Icon-72@2x.png", "Icon-Small.png",
                                 "Icon-Small@2x.png", "Icon-Small-50.png", "Icon-Small-50@2x.png"},
                                false);
}

std::optional<HBRIcon> HBRAppIconUtility::fetchApplicationIcon() {
  for (const char* key : {"CFBundleIcons~ipad", "CFBundleIcons"}) {
    if (auto icon = iconFromIOS7StyleCFBundleIconsInFieldWithKey(key)) return icon;
  }
  if (auto icon = iconFromCFBundleIconFiles()) return icon;
  if (auto icon = iconFromCFBundleIconFile()) return icon;
  if (auto icon = iconByFallingBackOnDefaultIconNamingConvention()) return icon;
  platform::consoleLog("[Harbor] Unable to locate application icon");
  return std::nullopt;
}

}  // namespace lumora
