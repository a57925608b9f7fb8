// Call stacks of the running thread: return addresses, innermost first, and
// their text, one line per frame:
//
//   "4   lumora                              0x000055d0c0a1b2c4 main + 52"
//
// (index, image file name, address, then the exported symbol and the offset
// into it, or, without one, the image's load address and the offset into
// the image). Names come from the dynamic loader's exported symbols, so an
// executable shows its own functions only when linked with its symbols
// exported (-rdynamic).
//
// Stateless; any thread. captureCallStack and formatCallStackFrame are
// async-signal-safe once prepareCallStackCapture() ran in the process (the
// first capture loads the unwinder, which allocates). Failure: an address
// the loader knows nothing of prints as "???".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

inline constexpr int kMaxCallStackFrames = 128;

// Loads the unwinder; cheap after the first call.
void prepareCallStackCapture();
// Up to `capacity` return addresses of the calling thread into `addresses`;
// their count.
int captureCallStack(void** addresses, int capacity);
// At most kMaxCallStackFrames return addresses of the calling thread.
std::vector<void*> callStackReturnAddresses();

// Frame `index` at `address` as text into `buffer` (cut to fit, always
// NUL-terminated); the text's length.
std::size_t formatCallStackFrame(char* buffer, std::size_t size, int index, const void* address);
// The text of each frame.
std::vector<std::string> callStackSymbols(const std::vector<void*>& addresses);

}  // namespace platform
