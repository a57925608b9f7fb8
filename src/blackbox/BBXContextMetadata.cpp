// The launch's metadata record: who wrote it, the host, the application and
// its executable.
#include <mutex>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXBinaryImage.h"
#include "blackbox/BBXContext.h"
#include "harbor/HBRBundle.h"
#include "platform/dispatch/Clock.h"

namespace lumora {
namespace {

const char* bbxTextOrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

void bbxRecordIdentity(BBXFile* file, const BBXContextInitData& data) {
  BBXFileWriteSectionStart(file, "identity");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "generator", "Blackbox iOS SDK/3.3.4");
  BBXFileWriteHashEntryString(file, "build_version", "82");
  BBXFileWriteHashEntryString(file, "display_version", "3.3.4");
  BBXFileWriteHashEntryString(file, "api_key", data.apiKey.c_str());
  BBXFileWriteHashEntryUint64(file, "started_at",
                              static_cast<std::uint64_t>(platform::Clock::current()->secondsSince1970()));
  BBXFileWriteHashEntryString(file, "session_id", data.reportIdentifier.c_str());
  BBXFileWriteHashEntryString(file, "install_id", data.installIdentifier.c_str());
  BBXFileWriteHashEntryString(file, "beta_token", data.betaToken.c_str());
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
}

void bbxRecordApplication(BBXFile* file, const BBXContextInitData& data,
                          const std::optional<std::string>& extensionPointIdentifier) {
  BBXFileWriteSectionStart(file, "application");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "bundle_id", bbxTextOrNull(HBRSanitizedBundleIdentifier()));
  BBXFileWriteHashEntryString(file, "custom_bundle_id", bbxTextOrNull(data.customBundleId));
  BBXFileWriteHashEntryString(file, "build_version", bbxTextOrNull(HBRBundleBuildVersion()));
  BBXFileWriteHashEntryString(file, "display_version", bbxTextOrNull(HBRBundleDisplayVersion()));
  BBXFileWriteHashEntryString(file, "extension_id", bbxTextOrNull(extensionPointIdentifier));
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
}

}  // namespace

void BBXContextRecordMetadata(const char* path, const BBXContextInitData& data) {
  const BBXCaptureHooks hooks = BBXContextCaptureHooks();
  if (!BBXUnlinkIfExists(path)) BBXSDKLog("%s: Unable to unlink existing metadata file %s\n", __func__, path);
  BBXFile file;
  if (!BBXFileInitWithPath(&file, path, false)) {
    BBXSDKLog("%s: Unable to open metadata file %s\n", __func__, path);
    BBXSDKLog("%s: Unable to record context metadata\n", "BBXContextInitialize");
    return;
  }
  bbxRecordIdentity(&file, data);
  if (hooks.recordHost && !hooks.recordHost(&file)) BBXSDKLog("%s: Unable to write out host metadata\n", __func__);
  bbxRecordApplication(&file, data,
                       hooks.extensionPointIdentifier ? hooks.extensionPointIdentifier() : std::nullopt);
  if (!BBXBinaryImageRecordMainExecutable(&file)) {
    BBXSDKLog("%s: Unable to write out executable metadata\n", __func__);
  }
  BBXFileClose(&file);
}

}  // namespace lumora
