#include "blackbox/BBXRegisterState.h"

namespace lumora {

BBXRegisterState BBXRegisterStateFromUContext(const ucontext_t* context) {
  BBXRegisterState state{};
  const greg_t* g = context->uc_mcontext.gregs;
  const int order[kBBXDwarfRegisterCount] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                             REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                             REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  for (std::uint64_t i = 0; i < kBBXDwarfRegisterCount; ++i) state.registers[i] = static_cast<std::uint64_t>(g[order[i]]);
  state.rflags = static_cast<std::uint64_t>(g[REG_EFL]);
  return state;
}

}  // namespace lumora
