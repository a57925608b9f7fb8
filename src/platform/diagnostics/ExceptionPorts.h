// A small message-port layer of our own on which exception messages travel
// within the process: a port is a name for an in-process packet socket pair
// that carries whole messages, and the task's exception-port table says,
// per exception type, which port (with which behavior and flavor) is told
// of an exception. Linux raises no such messages itself; faults arrive as
// signals. Whoever plays the kernel (a test) sends the requests.
//
// Ownership: ports live until deallocated; the table is process-wide.
// Threading: every call may come from any thread (one lock); receive blocks
// without the lock. Failure: errors are values (domain "platform.port").
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Result.h"

namespace platform {

using PortName = std::uint32_t;
inline constexpr PortName kNullPort = 0;
inline constexpr std::size_t kExceptionTypeCount = 14;

// The task this process is, as the exception messages name it.
PortName taskSelfPort();

Result<PortName> allocateReceivePort();
Status insertSendRight(PortName port);
void deallocatePort(PortName port);
// One whole message; receive takes the next one into `buffer` and answers
// its length (a longer message is cut to the buffer).
Status sendMessage(PortName port, std::span<const std::byte> message);
Result<std::size_t> receiveMessage(PortName port, std::span<std::byte> buffer);

struct ExceptionPortEntry {
  std::uint32_t mask = 0;
  PortName port = kNullPort;
  std::uint32_t behavior = 0;
  std::uint32_t flavor = 0;
};

// Sets the handler of every exception type in `mask` (bit 1 << type) and
// answers what was set for them before, one entry per distinct handler with
// the bits it had (at most `previous.size()` entries; unset types give
// none). Set alone answers nothing.
Result<std::size_t> swapExceptionPorts(PortName task, std::uint32_t mask, const ExceptionPortEntry& handler,
                                       std::span<ExceptionPortEntry> previous);
Status setExceptionPorts(PortName task, std::uint32_t mask, const ExceptionPortEntry& handler);
// The handler of one exception type (a null port when none).
ExceptionPortEntry exceptionPortFor(std::uint32_t type);

}  // namespace platform
