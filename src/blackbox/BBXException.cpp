#include "blackbox/BBXException.h"

#include <cxxabi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>

#include "blackbox/BBXAllocator.h"
#include "blackbox/BBXApplication.h"
#include "blackbox/BBXDemangleOperation.h"
#include "blackbox/BBXHandler.h"
#include "blackbox/BBXUnwind.h"
#include "platform/diagnostics/Console.h"
#include "platform/diagnostics/FatalSignalChain.h"

namespace lumora {
namespace {

std::atomic<std::uint32_t>* gBBXCustomExceptionCount = nullptr;

const char* bbxExceptionTypeName(int type) {
  switch (type) {
    case kBBXExceptionTypeObjectiveC: return "objective-c";
    case kBBXExceptionTypeCpp: return "c++";
    case kBBXExceptionTypeJavascript: return "javascript";
    case kBBXExceptionTypeCustom: return "custom";
    default: return "unknown";
  }
}

void bbxWriteFrames(BBXFile* file, const BBXStackFrames& frames) {
  BBXFileWriteHashKey(file, "frames");
  BBXFileWriteArrayStart(file);
  // As many as a thread's walk gives at most: a record stays within bounds
  // whatever the caller passes.
  std::size_t written = 0;
  for (const std::shared_ptr<BBXStackFrame>& frame : frames) {
    if (!frame) continue;
    if (written++ == kBBXMaxUnwindFrames) break;
    BBXFileWriteHashStart(file);
    BBXFileWriteHashEntryUint64(file, "pc", frame->address);
    if (frame->symbol) BBXFileWriteHashEntryHexEncodedString(file, "symbol", frame->symbol->c_str());
    BBXFileWriteHashEntryUint64(file, "offset", frame->offset);
    if (frame->library) BBXFileWriteHashEntryHexEncodedString(file, "library", frame->library->c_str());
    if (frame->fileName) BBXFileWriteHashEntryHexEncodedString(file, "file", frame->fileName->c_str());
    BBXFileWriteHashEntryUint64(file, "line", frame->lineNumber);
    BBXFileWriteHashEnd(file);
  }
  BBXFileWriteArrayEnd(file);
}

void bbxRecordType2(const char* reason) {
  const std::type_info* type = abi::__cxa_current_exception_type();
  const std::optional<std::string> name =
      BBXDemangleOperation::demangleCppSymbol(type != nullptr ? type->name() : nullptr);
  const std::string fallback = type != nullptr ? type->name() : "";
  BBXExceptionRecord(kBBXExceptionTypeCpp, name ? name->c_str() : fallback.c_str(), reason, nullptr, true);
}

void bbxCatchAndRecordActiveException() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  BBXSDKLog("%s: Recording exception of type '%s'\n", __func__, type != nullptr ? type->name() : "");
  try {
    throw;
  } catch (const platform::Exception& exception) {
    BBXExceptionRecordNSException(exception);
  } catch (const char* text) {
    bbxRecordType2(text);
  } catch (const std::string& text) {
    bbxRecordType2(text.c_str());
  } catch (const std::exception& exception) {
    bbxRecordType2(exception.what());
  } catch (const std::exception* exception) {
    bbxRecordType2(exception != nullptr ? exception->what() : "");
  } catch (...) {
    bbxRecordType2("");
  }
}

}  // namespace

void BBXExceptionInitialize(BBXExceptionContext* exception, std::atomic<std::uint32_t>* customCount) {
  if (exception == nullptr) return;
  if (exception->path != nullptr && !BBXUnlinkIfExists(exception->path)) {
    BBXSDKLog("%s: Unable to reset the exception file %s\n", __func__, strerror(errno));
  }
  if (exception->customPath != nullptr && !BBXUnlinkIfExists(exception->customPath)) {
    BBXSDKLog("%s: Unable to reset the custom exception file %s\n", __func__, strerror(errno));
  }
  exception->previousTerminateHandler = std::set_terminate(BBXTerminateHandler);
  gBBXCustomExceptionCount = customCount;
  if (customCount != nullptr) customCount->store(0);
}

void BBXExceptionRecord(int type, const char* name, const char* reason, const BBXStackFrames* frames,
                        bool notifyCrash) {
  BBXContext* context = BBXContextGet();
  // A forked child has no queue to write on, and its report is not its
  // parent's: it records nothing.
  if (context == nullptr || !BBXContextIsOwnProcess()) return;
  const bool fatal = type == kBBXExceptionTypeObjectiveC || type == kBBXExceptionTypeCpp;
  const char* path = fatal ? context->exception.path : context->exception.customPath;
  if (fatal) BBXSDKLogHoldForCrash();
  BBXSDKLog("%s: Recording an exception structure (%d, %d)\n", __func__, notifyCrash ? 1 : 0, fatal ? 1 : 0);
  // The thread that threw is the crashed one, not the queue's thread that
  // writes the record: take its id before the hop.
  const auto thrower = static_cast<pid_t>(syscall(SYS_gettid));
  BBXContextExceptionQueue().sync([&] {
    if (!fatal) {
      if (gBBXCustomExceptionCount == nullptr ||
          gBBXCustomExceptionCount->load() >= context->exception.maxCustomExceptions) {
        return;
      }
      gBBXCustomExceptionCount->fetch_add(1);
    }
    BBXFile file;
    if (!BBXFileInitWithPath(&file, path, false)) {
      BBXSDKLog("%s: Unable to open exception file\n", __func__);
      return;
    }
    BBXFileWriteSectionStart(&file, "exception");
    BBXFileWriteHashStart(&file);
    BBXFileWriteHashEntryString(&file, "type", bbxExceptionTypeName(type));
    BBXFileWriteHashEntryHexEncodedString(&file, "name", name);
    BBXFileWriteHashEntryHexEncodedString(&file, "reason", reason);
    BBXFileWriteHashEntryUint64(
        &file, "time", static_cast<std::uint64_t>(platform::kernelWallNanosFromSignal() / 1'000'000'000));
    if (frames != nullptr && !frames->empty()) bbxWriteFrames(&file, *frames);
    BBXFileWriteHashEnd(&file);
    BBXFileWriteSectionEnd(&file);
    if (fatal) BBXHandler(&file, thrower, nullptr);
    BBXFileClose(&file);
    if (fatal && notifyCrash && context->crashOccurredReceiver != nullptr) {
      context->crashOccurredReceiver->potentiallySubmittableCrashOccurred();
    }
  });
  BBXSDKLog("%s: Finished recording an exception structure\n", __func__);
  if (fatal) BBXSDKLogReleaseAfterCrash();
}

void BBXExceptionRecordNSException(const platform::Exception& exception) {
  BBXStackFrames frames;
  for (void* address : exception.callStackReturnAddresses()) {
    frames.push_back(BBXStackFrame::stackFrameWithAddress(reinterpret_cast<std::uintptr_t>(address)));
  }
  BBXExceptionRecord(kBBXExceptionTypeObjectiveC, exception.name().c_str(), exception.reason().c_str(), &frames,
                     true);
}

void BBXExceptionRecordScriptError(const char* message) {
  BBXExceptionRecord(kBBXExceptionTypeJavascript, "exception", message, nullptr, false);
}

void BBXTerminateHandler() {
  BBXSDKLog("%s: C++ terminate handler invoked\n", __func__);
  BBXContext* context = BBXContextGet();
  std::terminate_handler previous = context != nullptr ? context->exception.previousTerminateHandler : nullptr;
  if (previous == &BBXTerminateHandler) {
    BBXSDKLog("%s: Error: original handler was set recursively\n", __func__);
    previous = nullptr;
  }
  if (previous != nullptr) {
    BBXSDKLog("%s: restoring pre-existing handler\n", __func__);
    if (std::set_terminate(previous) == previous) {
      BBXSDKLog("%s: handler has already been restored, aborting\n", __func__);
      abort();
    }
  }
  if (std::current_exception() == nullptr) {
    BBXSDKLog("%s: no active exception\n", __func__);
  } else {
    bbxCatchAndRecordActiveException();
  }
  if (previous != nullptr) {
    BBXSDKLog("%s: invoking pre-existing handler\n", __func__);
    previous();
  }
  BBXSDKLog("%s: aborting\n", __func__);
  abort();
}

void BBXExceptionCheckHandlers() {
  BBXContext* context = BBXContextGet();
  if (context != nullptr && context->debuggerAttached) return;
  auto warn = [](const char* what, const void* handler) {
    BBXSymbolForAddress(handler, [what](const char* symbol, const char* image) {
      platform::consoleLog(std::string("[Blackbox:Crash] Warning: ") + what + " is '" +
                           (symbol != nullptr ? symbol : "unknown") + "' in '" + (image != nullptr ? image : "unknown") +
                           "'");
    });
  };
  std::terminate_handler terminate = std::get_terminate();
  if (terminate != &BBXTerminateHandler) warn("std::get_terminate", reinterpret_cast<const void*>(terminate));
  if (platform::UncaughtExceptionHandler uncaught = platform::getUncaughtExceptionHandler()) {
    warn("NSUncaughtExceptionHandler", reinterpret_cast<const void*>(uncaught));
  }
}

void BBXExceptionRaiseTestException() {
  throw platform::Exception("BlackboxTestException", "This is an Objective-C exception using for testing.");
}

}  // namespace lumora
