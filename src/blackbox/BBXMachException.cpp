#include "blackbox/BBXMachException.h"

#include <errno.h>
#include <pthread.h>

#include <cstring>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXHandler.h"
#include "blackbox/BBXSignal.h"
#include "harbor/HBRHost.h"
#include "platform/SignalStack.h"
#include "platform/diagnostics/ExceptionPorts.h"
#include "platform/diagnostics/FatalSignalChain.h"

namespace lumora {
namespace {

constexpr std::uint32_t kBBXMachMaskWithGuard = 0x104E;
constexpr std::uint32_t kBBXMachMaskWithoutGuard = 0x4E;
constexpr std::int64_t kBBXMachGuardVersion = 60000;
constexpr std::uint8_t kBBXNDRRecord[8] = {0, 0, 0, 0, 1, 0, 0, 0};

const char* bbxExceptionName(std::int32_t exception) {
  switch (exception) {
    case 1: return "EXC_BAD_ACCESS";
    case 2: return "EXC_BAD_INSTRUCTION";
    case 3: return "EXC_ARITHMETIC";
    case 6: return "EXC_BREAKPOINT";
    case 12: return "EXC_GUARD";
    default: return nullptr;
  }
}

const char* bbxExceptionCodeName(std::int32_t exception, std::int64_t code) {
  if (exception != 1) return nullptr;
  if (code == 1) return "KERN_INVALID_ADDRESS";
  if (code == 2) return "KERN_PROTECTION_FAILURE";
  return nullptr;
}

bool bbxRecordException(const BBXMachExceptionContext* mach, const BBXMachExceptionRequest& request) {
  BBXFile file;
  if (!BBXFileInitWithPath(&file, mach->path, false)) {
    BBXSDKLog("%s: Unable to open mach exception file\n", "BBXMachExceptionRecord");
    return false;
  }
  const std::uint32_t codeCount = request.codeCount < 2 ? request.codeCount : 2;
  BBXFileWriteSectionStart(&file, "mach_exception");
  BBXFileWriteHashStart(&file);
  BBXFileWriteHashEntryUint64(&file, "exception", static_cast<std::uint32_t>(request.exception));
  BBXFileWriteHashKey(&file, "codes");
  BBXFileWriteArrayStart(&file);
  for (std::uint32_t i = 0; i < codeCount; ++i) BBXFileWriteArrayEntryUint64(&file, static_cast<std::uint64_t>(request.codes[i]));
  BBXFileWriteArrayEnd(&file);
  BBXFileWriteHashEntryString(&file, "name", bbxExceptionName(request.exception));
  BBXFileWriteHashEntryString(&file, "code_name",
                              bbxExceptionCodeName(request.exception, codeCount > 0 ? request.codes[0] : -1));
  BBXFileWriteHashEntryUint64(&file, "original_ports", mach->count);
  BBXFileWriteHashEntryUint64(
      &file, "time", static_cast<std::uint64_t>(platform::kernelWallNanosFromSignal() / 1'000'000'000));
  BBXFileWriteHashEnd(&file);
  BBXFileWriteSectionEnd(&file);
  BBXHandler(&file, static_cast<pid_t>(request.thread.name), nullptr);
  BBXFileClose(&file);
  return true;
}

std::int32_t bbxDispatch(const BBXMachExceptionContext* mach, const BBXMachExceptionRequest& request) {
  if (request.task.name != platform::taskSelfPort()) {
    BBXSDKLog("%s: Mach exception task mis-match, returning failure\n", __func__);
    return kBBXMachReturnFailure;
  }
  BBXSDKLog("%s: Unregistering handler\n", __func__);
  if (!BBXMachExceptionUnregister(mach, mach->mask)) {
    BBXSDKLog("%s: Failed to unregister\n", __func__);
    return kBBXMachReturnFailure;
  }
  BBXSDKLog("%s: Restoring original signal handlers\n", __func__);
  BBXContext* context = BBXContextGet();
  if (context == nullptr || !BBXSignalSafeInstallPreexistingHandlers(&context->signal)) {
    BBXSDKLog("%s: Failed to restore signal handlers\n", __func__);
    return kBBXMachReturnFailure;
  }
  if (BBXContextMarkAndCheckIfCrashed()) {
    // The first crash's record stands; the exception goes on to the earlier
    // handlers unrecorded instead of ending the process here.
    BBXSDKLog("%s: Error: aborting mach exception handler because crash has already occurred\n", __func__);
    return kBBXMachReturnFailure;
  }
  if (!bbxRecordException(mach, request)) {
    BBXSDKLog("%s: Failed to record mach exception\n", __func__);
    return kBBXMachReturnFailure;
  }
  return kBBXMachReturnSuccess;
}

void* bbxMachExceptionServer(void* argument) {
  const auto* mach = static_cast<const BBXMachExceptionContext*>(argument);
  // Thread names hold 15 characters.
  pthread_setname_np(pthread_self(), "MachExcServer");
  platform::installAlternateSignalStack();
  for (;;) {
    BBXMachExceptionRequest request{};
    auto buffer = std::as_writable_bytes(std::span(&request, 1));
    platform::Result<std::size_t> received = platform::receiveMessage(mach->port, buffer);
    if (!received) {
      BBXSDKLog("%s: Error receving mach_msg (%d)\n", "BBXMachExceptionReadMessage",
                static_cast<int>(received.error().code()));
      break;
    }
    BBXSDKLog("%s: Accepted mach exception message\n", __func__);
    BBXSDKLog("%s: Mach exception: 0x%x, count: %d\n", __func__, static_cast<unsigned>(request.exception),
              static_cast<int>(request.codeCount));
    BBXMachExceptionReply reply{};
    reply.header.bits = request.header.bits & 0x1F;
    reply.header.size = sizeof(reply);
    reply.header.remotePort = request.header.remotePort;
    reply.header.localPort = platform::kNullPort;
    reply.header.id = request.header.id + 100;
    std::memcpy(reply.ndr, kBBXNDRRecord, sizeof(reply.ndr));
    reply.returnCode = bbxDispatch(mach, request);
    BBXSDKLog("%s: Sending exception reply\n", "BBXMachExceptionReply");
    platform::Status sent = platform::sendMessage(reply.header.remotePort, std::as_bytes(std::span(&reply, 1)));
    if (!sent) {
      BBXSDKLog("%s: mach_msg reply failed (%d)\n", "BBXMachExceptionReply", static_cast<int>(sent.error().code()));
      break;
    }
    BBXSDKLog("%s: Exception reply delivered\n", "BBXMachExceptionReply");
  }
  BBXSDKLog("%s: Mach exception server thread exiting\n", __func__);
  return nullptr;
}

bool bbxStartServer(BBXMachExceptionContext* mach) {
  BBXContext* context = BBXContextGet();
  pthread_attr_t attributes;
  int failure = pthread_attr_init(&attributes);
  if (failure != 0) {
    BBXSDKLog("%s: pthread_attr_init %s\n", "BBXMachExceptionThreadStart", strerror(failure));
    return false;
  }
  const char* step = nullptr;
  if ((failure = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)) != 0) {
    step = "%s: pthread_attr_setdetachstate %s\n";
  } else if (context == nullptr || context->machStack == nullptr ||
             (failure = pthread_attr_setstack(&attributes, context->machStack, kBBXStackSize)) != 0) {
    step = "%s: pthread_attr_setstack %s\n";
  } else if ((failure = pthread_create(&mach->thread, &attributes, bbxMachExceptionServer, mach)) != 0) {
    step = "%s: pthread_create %s\n";
  }
  pthread_attr_destroy(&attributes);
  if (step == nullptr) return true;
  BBXSDKLog(step, "BBXMachExceptionThreadStart", strerror(failure != 0 ? failure : EINVAL));
  return false;
}

}  // namespace

std::uint32_t BBXMachExceptionSignalToMask(int signal) {
  switch (signal) {
    case SIGILL: return 0x4;
    case SIGTRAP: return 0x40;
    case SIGABRT:
    case SIGSYS: return 0x400;
    case SIGFPE: return 0x8;
    case SIGBUS:
    case SIGSEGV: return 0x2;
    default: return 0;
  }
}

bool BBXMachExceptionUnregister(const BBXMachExceptionContext* mach, std::uint32_t mask) {
  for (std::uint32_t i = 0; i < mach->count && i < kBBXExceptionTypeCount; ++i) {
    mask &= ~mach->masks[i];
    platform::Status set = platform::setExceptionPorts(
        platform::taskSelfPort(), mach->masks[i], {mach->masks[i], mach->ports[i], mach->behaviors[i], mach->flavors[i]});
    if (!set) BBXSDKLog("%s: unable to restore original port: %d", __func__, static_cast<int>(mach->ports[i]));
  }
  platform::Status unset = platform::setExceptionPorts(
      platform::taskSelfPort(), mask, {mask, platform::kNullPort, kBBXMachExceptionBehavior, kBBXMachExceptionFlavor});
  if (!unset) {
    BBXSDKLog("%s: unable to unset unregistered mask: 0x%x", __func__, mask);
    return false;
  }
  return true;
}

void BBXMachExceptionInit(BBXMachExceptionContext* mach, std::uint32_t excludedMask) {
  if (mach == nullptr) return;
  if (mach->path != nullptr && !BBXUnlinkIfExists(mach->path)) {
    BBXSDKLog("%s: Unable to reset the mach exception file %s\n", __func__, strerror(errno));
  }
  platform::Result<platform::PortName> port = platform::allocateReceivePort();
  if (!port) {
    BBXSDKLog("%s: Error: mach_port_allocate failed %d\n", "BBXMachExceptionRegister",
              static_cast<int>(port.error().code()));
    BBXSDKLog("%s: Unable to register mach exception handler\n", __func__);
    return;
  }
  if (platform::Status right = platform::insertSendRight(port.value()); !right) {
    BBXSDKLog("%s: Error: mach_port_insert_right failed %d\n", "BBXMachExceptionRegister",
              static_cast<int>(right.error().code()));
    platform::deallocatePort(port.value());
    BBXSDKLog("%s: Unable to register mach exception handler\n", __func__);
    return;
  }
  mach->port = port.value();
  const std::uint32_t full = HBRHostOSVersionCode() >= kBBXMachGuardVersion ? kBBXMachMaskWithGuard
                                                                             : kBBXMachMaskWithoutGuard;
  mach->mask = full & ~excludedMask;
  platform::ExceptionPortEntry previous[kBBXExceptionTypeCount];
  platform::Result<std::size_t> swapped = platform::swapExceptionPorts(
      platform::taskSelfPort(), mach->mask, {mach->mask, mach->port, kBBXMachExceptionBehavior, kBBXMachExceptionFlavor},
      previous);
  if (!swapped) {
    BBXSDKLog("%s: Error: task_swap_exception_ports %d\n", "BBXMachExceptionRegister",
              static_cast<int>(swapped.error().code()));
    BBXSDKLog("%s: Unable to register mach exception handler\n", __func__);
    return;
  }
  mach->count = static_cast<std::uint32_t>(swapped.value());
  for (std::uint32_t i = 0; i < mach->count; ++i) {
    mach->masks[i] = previous[i].mask;
    mach->ports[i] = previous[i].port;
    mach->behaviors[i] = previous[i].behavior;
    mach->flavors[i] = previous[i].flavor;
    BBXSDKLog("%s: original 0x%x 0x%x 0x%x 0x%x\n", "BBXMachExceptionRegister", mach->ports[i], mach->masks[i],
              mach->behaviors[i], mach->flavors[i]);
  }
  if (!bbxStartServer(mach)) {
    BBXSDKLog("%s: Unable to start thread\n", __func__);
    BBXMachExceptionUnregister(mach, mach->mask);
  }
}

}  // namespace lumora
