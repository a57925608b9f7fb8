// The screens' toolbox: the one sentence a screen shows for a failed cloud
// or network call (counting the failure in the usage statistics under an
// event beginning with "fail_"), byte counts as text, JSON text, the free
// space of the Documents volume, an immediate local notification, the
// preferred language, the pixel size asked of the server for a full-screen
// photo, device-size image resources and the upright redraw of a photo.
//
// Ownership: class functions only; the screen size is taken once, on first
// use. Threading: the message, resource image and notification functions
// on the main thread; the rest (the upright redraw too) on any. Failure: a
// code without a message gives nullopt, as do unreadable JSON and an
// unreadable volume.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/media/Image.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/Image.h"

namespace lumora {

class LMCustomUtils {
 public:
  LMCustomUtils() = delete;

  static std::optional<std::string> messageForURLError(const platform::Error& error, const std::string& event);
  static std::filesystem::path applicationDocumentsDirectory();
  static std::string stringWithByteNum(std::int64_t bytes);
  static std::optional<std::string> stringFromJSONObject(const std::optional<platform::Json>& object);
  static std::optional<platform::Json> jsonObjectFromString(const std::optional<std::string>& text);
  static std::optional<std::string> getPreferredLanguage();
  static platform::ui::Size screenSize();
  // The image's bitmap as stored, redrawn upright for an EXIF orientation
  // (1 to 8; mirrored ones mirrored back); any other value leaves it as
  // stored. Any thread.
  static platform::Image rotateImage(const platform::Image& image, int orientation);
  // The resource name for the device's screen ("name6.png", "name6p.png",
  // "name.png") and the image of that name.
  static std::string bundleImageNameForName(const std::string& name);
  static std::optional<platform::ui::Image> bundleImageForName(const std::string& name);
  static std::optional<std::int64_t> freeSpaceForDevice();
  // Whether the device holds twice `bytes` and keeps 100 MiB free besides
  // (free space that cannot be read counts as none): the downloads' rule.
  static bool hasSpaceForDownload(std::int64_t bytes);
  static void localNotifWithMessage(const std::string& message);

  // Tests: where the free space is read from (nullptr: statvfs).
  using FreeSpaceReader = std::function<std::optional<std::int64_t>(const std::filesystem::path&)>;
  static void setFreeSpaceReaderForTesting(FreeSpaceReader reader);
};

}  // namespace lumora
