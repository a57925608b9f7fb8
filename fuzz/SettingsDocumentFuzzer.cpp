// The reporting platform's settings document as a launch finds it in its
// settings file (the input is the file): read by the settings model, with
// the onboarding answers, and as the crash reporter's settings with every
// switch, bound, endpoint and prompt text. A file that does not read is
// removed, so the next launch has no settings until a download succeeds.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "blackbox/BBXSettings.h"
#include "harbor/HBRSettings.h"
#include "support/Fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path path = fuzz::scratchDirectory("settings") / "settings.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                 static_cast<std::streamsize>(size));
  lumora::HBRSettings settings(path);
  const auto document = settings.settingsDictionary();
  if (!document) FUZZ_CHECK(!std::filesystem::exists(path));
  (void)settings.appSettings();
  (void)settings.appStatus();
  (void)settings.appNeedsOnboarding();
  (void)settings.appUpdateRequired();

  const lumora::BBXSettings crash(document);
  (void)crash.reportsEndpoint();
  (void)crash.betaEndpoint();
  (void)crash.shouldPackageReports();
  (void)crash.shouldSubmitReports();
  (void)crash.canProcessUrgentReports();
  (void)crash.crashReportingEnabled();
  (void)crash.errorReportingEnabled();
  (void)crash.customExceptionsEnabled();
  (void)crash.userPromptEnabled();
  (void)crash.logBufferSize();
  (void)crash.errorLogBufferSize();
  (void)crash.maxCustomExceptions();
  (void)crash.maxCustomKeys();
  (void)crash.betaSuspendDuration();
  (void)crash.interactivePromptTitle();
  (void)crash.interactivePromptMessage();
  (void)crash.interactivePromptCancelTitle();
  (void)crash.interactivePromptSendTitle();
  (void)crash.interactivePromptAlwaysSendTitle();
  return 0;
}
