// Exception capture: fatal exceptions (the platform's exception and C++
// exceptions that reach the terminate handler) are written with the crash
// handler's record of the process to "exception.bbxrecord"; non-fatal ones
// (custom exceptions, web-view script errors) to
// "custom_exception.bbxrecord", at most the launch's maximum of them.
//
// Ownership: the exception block lives in the crash context. Threading:
// recording runs on the exception queue while the calling thread waits; the
// crashed thread of a fatal record is the calling thread. Failure: before
// start-up, past the maximum or when the file cannot be opened the exception
// is dropped; the terminate handler still chains on and aborts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXStackFrame.h"
#include "platform/diagnostics/Exception.h"

namespace lumora {

enum BBXExceptionType : int {
  kBBXExceptionTypeObjectiveC = 1,
  kBBXExceptionTypeCpp = 2,
  kBBXExceptionTypeJavascript = 3,
  kBBXExceptionTypeCustom = 4,
};

using BBXStackFrames = std::vector<std::shared_ptr<BBXStackFrame>>;

void BBXExceptionInitialize(BBXExceptionContext* exception, std::atomic<std::uint32_t>* customCount);
void BBXExceptionRecord(int type, const char* name, const char* reason, const BBXStackFrames* frames,
                        bool notifyCrash);
void BBXExceptionRecordNSException(const platform::Exception& exception);
void BBXExceptionRecordScriptError(const char* message);
void BBXTerminateHandler();
// Warns on the console when another terminate or uncaught-exception handler
// is in place (without a debugger at start-up).
void BBXExceptionCheckHandlers();
[[noreturn]] void BBXExceptionRaiseTestException();

}  // namespace lumora
