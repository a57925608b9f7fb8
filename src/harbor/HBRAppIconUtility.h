// Finds the app icon in the bundle: the names the information dictionary
// lists ("CFBundleIcons~ipad", "CFBundleIcons", "CFBundleIconFiles",
// "CFBundleIconFile", in that order), else the customary names; among the
// candidates of the first source that yields one, the largest PNG file
// within 152 x 152 pixels wins. A name without extension is also tried with
// "@2x", "~ipad" and "@2x~ipad"; "@2x" marks a file of scale 2.
//
// Ownership: a plain object; the icon found is kept. Threading: one thread
// at a time. Failure: malformed keys and missing files are logged; the
// result is then no icon.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harbor/HBRIcon.h"
#include "platform/Error.h"

namespace lumora {

class HBRAppIconUtility {
 public:
  // Searched for while none is held.
  std::optional<HBRIcon> applicationIcon();

  static platform::Json appInfoDictionary();
  static std::string iconRootPath();
  std::optional<HBRIcon> largestIconInIconNames(const std::vector<std::string>& names, bool prerendered);
  std::optional<HBRIcon> iconFromIOS7StyleCFBundleIconsInFieldWithKey(const std::string& key);
  std::optional<HBRIcon> iconFromCFBundleIconFiles();
  std::optional<HBRIcon> iconFromCFBundleIconFile();
  std::optional<HBRIcon> iconByFallingBackOnDefaultIconNamingConvention();
  std::optional<HBRIcon> fetchApplicationIcon();

  // The pixel size of a picture of `pixelWidth` x `pixelHeight` stored
  // under `name`: its size in points times its scale.
  static HBRIconSize sizeForImage(const std::string& name, std::uint32_t pixelWidth, std::uint32_t pixelHeight);
  static bool isIconImageFileNameExtensionPresentInName(const std::string& name);
  // Adds `name` + `modifier` to `names` unless it is there already.
  static void addIconNameWithModifier(const std::string& modifier, const std::string& name,
                                      std::vector<std::string>& names);
  // The names without duplicates, then the variants of each name that has
  // no "png" extension.
  static std::vector<std::string> iconNameSetWithAlternateNamesAddedToIconNameSet(
      const std::vector<std::string>& names);

 private:
  std::optional<HBRIcon> applicationIcon_;
};

}  // namespace lumora
