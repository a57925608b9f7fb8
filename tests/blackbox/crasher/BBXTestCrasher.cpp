// A C++ library in which a test program records its threads: ns::crasher
// calls the hook that the program sets, so that the record's stack runs
// through it.
namespace {
void (*gBBXCrasherHook)(int) = nullptr;
}  // namespace

extern "C" __attribute__((visibility("default"))) void bbxCrasherSetHook(void (*hook)(int)) { gBBXCrasherHook = hook; }

namespace ns {
__attribute__((noinline, visibility("default"))) int crasher(int value) {
  if (gBBXCrasherHook != nullptr) gBBXCrasherHook(value);
  return value + 1;
}
}  // namespace ns

// Two functions back to back: a call as the last instruction of the first
// would return to the first byte of the second. And a local one, which only
// the library's full symbol table names (the loader knows nothing of it).
extern "C" void* bbxCrasherLocalAddress();
asm(R"(
  .pushsection .text
  .type bbxCrasherLocal, @function
bbxCrasherLocal:
  nop
  ret
  .size bbxCrasherLocal, .-bbxCrasherLocal
  .globl bbxCrasherLocalAddress
  .type bbxCrasherLocalAddress, @function
bbxCrasherLocalAddress:
  leaq bbxCrasherLocal(%rip), %rax
  ret
  .size bbxCrasherLocalAddress, .-bbxCrasherLocalAddress
  .globl bbxCrasherTail
  .type bbxCrasherTail, @function
bbxCrasherTail:
  nop
  nop
  nop
  nop
  .size bbxCrasherTail, .-bbxCrasherTail
  .globl bbxCrasherNext
  .type bbxCrasherNext, @function
bbxCrasherNext:
  ret
  .size bbxCrasherNext, .-bbxCrasherNext
  .popsection
)");
