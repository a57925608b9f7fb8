#include "stats/KoStatCrashReporter.h"

#include "stats/KoStatCrashController.h"

namespace lumora {

void KoStatCrashReporter::enabledCrashReportWithMode(std::int32_t mode) {
  KoStatCrashController::shareSingletion().enabledCrashReportWithMode(mode);
}

bool KoStatCrashReporter::hasPendingCrashReport() { return KoStatCrashController::shareSingletion().hasCrashReport(); }

void KoStatCrashReporter::triggerUploadCrashReport() { KoStatCrashController::shareSingletion().uploadCrashReport(); }

}  // namespace lumora
