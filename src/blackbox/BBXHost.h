// What the crash reporter records about the host and the process outside a
// crash: the host block of the crash context (documents folder, page size,
// the thread-stop signal), the metadata record's "host" section, free
// storage, the debugger test, and timing since the program was loaded.
//
// Stateless functions over the crash context; BBXHostRecordStorage and the
// timing functions are async-signal-safe. Failure: each answer has a
// fallback (16384-byte pages, "(failed)", an empty section, false).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "blackbox/BBXContext.h"

namespace lumora {

// Fills the host block and installs the handler by which the crash handler
// stops the other threads.
void BBXHostInitialize(BBXHostContext* host);
std::uint32_t BBXHostGetPageSize();
bool BBXHostRecordHost(BBXFile* file);
bool BBXHostRecordStorage(BBXFile* file);
// A tracer (TracerPid in /proc/self/status) is attached.
bool BBXProcessDebuggerAttached();

// Monotonic nanoseconds now, and milliseconds from `start` (or from the
// program's load) to now.
std::uint64_t BBXTimingNow();
double BBXTimingElapsedMilliseconds(std::uint64_t start);
double BBXTimingSinceLoad();

// The hooks with the host, debugger and application parts filled.
BBXCaptureHooks BBXHostCaptureHooks();
// The host hooks and every capture mechanism: signals, Mach exceptions (the
// in-process stand-in) and exceptions. What start-up installs unless a test
// set other hooks.
BBXCaptureHooks BBXProcessCaptureHooks();

}  // namespace lumora
