// The app's switch for the statistics crash catcher (KoStatCrashController):
// enable it once at start-up with a mode (0 uploads a pending record now,
// 1 with the statistics commits, any other never), ask whether a record is
// pending, or upload it now.
// Stateless over the shared controller; any thread. Failures: silent.
#pragma once

#include <cstdint>

namespace lumora {

class KoStatCrashReporter {
 public:
  KoStatCrashReporter() = delete;

  static void enabledCrashReportWithMode(std::int32_t mode);
  static bool hasPendingCrashReport();
  static void triggerUploadCrashReport();
};

}  // namespace lumora
