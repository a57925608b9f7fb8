// The crash-time stack walk of one thread (x86_64). Frame 0 is the thread's
// own pc; each further frame is found, in order, by the image's compact
// unwind information (when it has any), by its DWARF call-frame information
// (the FDE found through the image's .eh_frame_hdr table), and by the rbp
// chain, where the first step may take the return address at [rsp] (a
// function stopped before it set up its frame). At most 512 frames.
//
// Lookups use the exact pc for the innermost frame and for a frame that a
// signal interrupted, and pc - 1 for return addresses (which point after
// their call).
//
// Ownership: the context lives on the walker's stack. Threading: one
// thread; async-signal-safe (no allocation, no lock; memory read through
// BBXReadMemory). Failure: the walk ends, logged; frames found stay.
#pragma once

#include <cstdint>

#include "blackbox/BBXContext.h"
#include "blackbox/BBXRegisterState.h"

namespace lumora {

inline constexpr std::uint32_t kBBXMaxUnwindFrames = 512;

struct BBXCompactUnwindContext {
  std::uintptr_t unwindInfo;
  std::uintptr_t ehFrame;
  std::uintptr_t ehFrameEnd;
  std::uintptr_t loadAddress;
  // version, common encodings offset and count, personalities offset and
  // count, index offset and count
  std::uint32_t header[7];
  std::uint32_t functionOffset;
  std::uint32_t secondLevelPageOffset;
  std::uint32_t lsdaIndexOffset;
  std::uint32_t nextFunctionOffset;
};

struct BBXCompactUnwindEntry {
  std::uint32_t encoding;
  std::uintptr_t functionStart;
  std::uintptr_t functionEnd;
};

struct BBXUnwindContext {
  BBXRegisterState registers;
  std::uint32_t frameCount;
  bool exactPC;  // the current pc is not a return address
  BBXCompactUnwindContext compact;
};

bool BBXUnwindInit(BBXUnwindContext* context, const BBXRegisterState* registers);
// Advances to the next frame; true while there is one.
bool BBXUnwindNextFrame(BBXUnwindContext* context);
std::uint64_t BBXUnwindGetPC(const BBXUnwindContext* context);
std::uint64_t BBXUnwindGetSP(const BBXUnwindContext* context);
std::uint64_t BBXUnwindGetFP(const BBXUnwindContext* context);
void BBXUnwindSetPC(BBXUnwindContext* context, std::uint64_t value);
void BBXUnwindSetSP(BBXUnwindContext* context, std::uint64_t value);
void BBXUnwindSetFP(BBXUnwindContext* context, std::uint64_t value);
bool BBXDwarfUnwindGetRegisterValue(const BBXRegisterState* state, std::uint64_t number, std::uint64_t* value);
bool BBXDwarfUnwindSetRegisterValue(BBXRegisterState* state, std::uint64_t number, std::uint64_t value);

// One rbp-chain step; with `useReturnAddressAtSP`, first try [rsp].
bool BBXUnwindWithFramePointer(BBXUnwindContext* context, bool useReturnAddressAtSP);

// Compact unwind information ("__unwind_info" layout, 64-bit encodings).
bool BBXCompactUnwindInit(BBXCompactUnwindContext* context, std::uintptr_t unwindInfo, std::uintptr_t ehFrame,
                          std::uintptr_t ehFrameEnd, std::uintptr_t loadAddress);
bool BBXCompactUnwindLookup(BBXCompactUnwindContext* context, std::uintptr_t pc, BBXCompactUnwindEntry* entry);
bool BBXCompactUnwindComputeRegisters(BBXUnwindContext* context, const BBXCompactUnwindEntry* entry,
                                      std::uint64_t lookupPC);
// The caller's registers from the FDE at `fdeOffset` into the .eh_frame.
bool BBXCompactUnwindDwarfFrame(const BBXCompactUnwindContext* context, std::uint64_t fdeOffset,
                                BBXRegisterState* state, std::uint64_t lookupPC);

}  // namespace lumora
