// Exception-message capture: a server thread receives the task's exception
// requests on a port of its own (platform/diagnostics/ExceptionPorts.h),
// records a "mach_exception" record plus the crash handler's record of the
// process, puts the earlier exception ports and signal actions back and
// answers, so that the exception goes on to them. Nothing on Linux sends
// such requests by itself: real faults take the signal path (BBXSignal.h);
// the server answers whoever plays the kernel.
//
// Ownership: the block lives in the crash context; the thread is detached,
// on the context's preset stack, and ends at the first receive or reply
// error. Threading: set-up from a start-up block. Failure: a set-up failure
// leaves the table as it was and logs; a request from another task is
// answered with failure and recorded nowhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blackbox/BBXContext.h"

namespace lumora {

inline constexpr std::uint32_t kBBXMachExceptionBehavior = 0x80000001;  // default, 64-bit codes
inline constexpr std::uint32_t kBBXMachExceptionFlavor = 5;
inline constexpr std::int32_t kBBXMachReturnSuccess = 0;
inline constexpr std::int32_t kBBXMachReturnFailure = 5;

#pragma pack(push, 4)
struct BBXMachMessageHeader {
  std::uint32_t bits;
  std::uint32_t size;
  std::uint32_t remotePort;  // the reply port on a request
  std::uint32_t localPort;
  std::uint32_t voucher;
  std::int32_t id;
};
struct BBXMachPortDescriptor {
  std::uint32_t name;  // a thread's port is its thread id
  std::uint32_t pad;
  std::uint32_t disposition;
};
// A request as received, with the receive trailer.
struct BBXMachExceptionRequest {
  BBXMachMessageHeader header;
  std::uint32_t descriptorCount;
  BBXMachPortDescriptor thread;
  BBXMachPortDescriptor task;
  std::uint8_t ndr[8];
  std::int32_t exception;
  std::uint32_t codeCount;
  std::int64_t codes[2];
  std::uint8_t trailer[8];
};
struct BBXMachExceptionReply {
  BBXMachMessageHeader header;
  std::uint8_t ndr[8];
  std::int32_t returnCode;
};
#pragma pack(pop)
static_assert(sizeof(BBXMachExceptionRequest) == 92 && offsetof(BBXMachExceptionRequest, exception) == 60);
static_assert(sizeof(BBXMachExceptionReply) == 36);

// Removes the old record, takes the exception types of the mask (less
// `excludedMask`, the types the app wants as signals), saves the earlier
// handlers and starts the server.
void BBXMachExceptionInit(BBXMachExceptionContext* mach, std::uint32_t excludedMask);
bool BBXMachExceptionUnregister(const BBXMachExceptionContext* mach, std::uint32_t mask);
std::uint32_t BBXMachExceptionSignalToMask(int signal);

}  // namespace lumora
