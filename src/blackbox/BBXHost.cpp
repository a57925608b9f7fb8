#include "blackbox/BBXHost.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXApplication.h"
#include "blackbox/BBXException.h"
#include "blackbox/BBXHandler.h"
#include "blackbox/BBXMachException.h"
#include "blackbox/BBXSignal.h"
#include "harbor/HBRHost.h"
#include "platform/device/Locale.h"
#include "platform/storage/AppHome.h"

namespace lumora {
namespace {

constexpr std::uint32_t kBBXMaxPageSize = 16384;
constexpr std::uint32_t kBBXMinPageSize = 4096;

const std::uint64_t gBBXLoadTime = BBXTimingNow();

}  // namespace

std::uint64_t BBXTimingNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

double BBXTimingElapsedMilliseconds(std::uint64_t start) {
  return static_cast<double>(BBXTimingNow() - start) / 1e6;
}

double BBXTimingSinceLoad() { return BBXTimingElapsedMilliseconds(gBBXLoadTime); }

std::uint32_t BBXHostGetPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) {
    BBXSDKLog("%s: sysconf failed while trying to get the page size\n", __func__);
    return kBBXMaxPageSize;
  }
  if (size > static_cast<long>(kBBXMaxPageSize)) return kBBXMaxPageSize;
  if (size < static_cast<long>(kBBXMinPageSize)) return kBBXMinPageSize;
  return static_cast<std::uint32_t>(size);
}

void BBXHostInitialize(BBXHostContext* host) {
  if (host == nullptr) return;
  host->documentsDirectory = BBXSafeStrdup(platform::AppHome::documents().string().c_str());
  host->pageSize = BBXHostGetPageSize();
  const long ticks = sysconf(_SC_CLK_TCK);
  host->clockTicksPerSecond = ticks > 0 ? static_cast<std::uint32_t>(ticks) : 100;
  host->threadStopSignal = BBXHandlerInstallThreadStop();
}

bool BBXHostRecordHost(BBXFile* file) {
  const auto model = HBRHostModelIdentifier();
  const auto machine = HBRHostSysctlString("hw.model");
  const auto build = HBRHostOSBuildVersion();
  BBXFileWriteSectionStart(file, "host");
  BBXFileWriteHashStart(file);
  BBXFileWriteHashEntryString(file, "model", model ? model->c_str() : nullptr);
  BBXFileWriteHashEntryString(file, "machine", machine ? machine->c_str() : "(failed)");
  BBXFileWriteHashEntryString(file, "os_build_version", build ? build->c_str() : nullptr);
  BBXFileWriteHashEntryString(file, "os_display_version", HBRHostOSDisplayVersion().c_str());
  BBXFileWriteHashEntryString(file, "platform", "ios");
  BBXFileWriteHashEntryString(file, "locale", platform::Locale::currentIdentifier().c_str());
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
  return true;
}

bool BBXHostRecordStorage(BBXFile* file) {
  const BBXContext* context = BBXContextGet();
  struct statfs info {};
  const bool known = context != nullptr && context->host.documentsDirectory != nullptr &&
                     statfs(context->host.documentsDirectory, &info) == 0;
  BBXFileWriteSectionStart(file, "storage");
  BBXFileWriteHashStart(file);
  if (known) {
    BBXFileWriteHashEntryUint64(file, "free", static_cast<std::uint64_t>(info.f_bavail) * info.f_bsize);
    BBXFileWriteHashEntryUint64(file, "total", static_cast<std::uint64_t>(info.f_blocks) * info.f_bsize);
  }
  BBXFileWriteHashEnd(file);
  BBXFileWriteSectionEnd(file);
  return known;
}

bool BBXProcessDebuggerAttached() {
  char status[4096];
  const std::size_t length = BBXReadFile("/proc/self/status", status, sizeof(status));
  const char* tracer = length > 0 ? std::strstr(status, "TracerPid:") : nullptr;
  if (tracer == nullptr) {
    BBXSDKLog("%s: unable to read the process status\n", __func__);
    return false;
  }
  return std::strtol(tracer + std::strlen("TracerPid:"), nullptr, 10) != 0;
}

BBXCaptureHooks BBXHostCaptureHooks() {
  BBXCaptureHooks hooks;
  hooks.hostInitialize = BBXHostInitialize;
  hooks.recordHost = BBXHostRecordHost;
  hooks.debuggerAttached = BBXProcessDebuggerAttached;
  hooks.extensionPointIdentifier = BBXApplicationExtensionPointIdentifier;
  return hooks;
}

BBXCaptureHooks BBXProcessCaptureHooks() {
  BBXCaptureHooks hooks = BBXHostCaptureHooks();
  hooks.signalInitialize = BBXSignalInitialize;
  hooks.machExceptionInitialize = [](BBXMachExceptionContext* mach) { BBXMachExceptionInit(mach, mach->mask); };
  hooks.exceptionInitialize = BBXExceptionInitialize;
  return hooks;
}

}  // namespace lumora
