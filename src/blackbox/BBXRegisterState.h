// The registers of one thread as the crash-time unwinder sees them (x86_64),
// indexed by their DWARF numbers: 0 rax, 1 rdx, 2 rcx, 3 rbx, 4 rsi, 5 rdi,
// 6 rbp, 7 rsp, 8-15 r8-r15, 16 the return address (rip).
//
// A plain value; no threading or failure concerns.
#pragma once

#include <ucontext.h>

#include <cstdint>

namespace lumora {

inline constexpr std::uint64_t kBBXDwarfRegisterCount = 17;
inline constexpr std::uint64_t kBBXDwarfRegisterFP = 6;
inline constexpr std::uint64_t kBBXDwarfRegisterSP = 7;
inline constexpr std::uint64_t kBBXDwarfRegisterPC = 16;

struct BBXRegisterState {
  std::uint64_t registers[kBBXDwarfRegisterCount];
  std::uint64_t rflags;
};

// The registers saved in a signal's (or getcontext's) machine context.
BBXRegisterState BBXRegisterStateFromUContext(const ucontext_t* context);

}  // namespace lumora
