#include "platform/SignalStack.h"

#include <signal.h>

#include <algorithm>
#include <cstddef>

namespace platform {
namespace {

constexpr std::size_t kAlternateStackSize = 64 * 1024;

// The calling thread's alternate stack, freed when the thread ends.
struct AlternateStack {
  char* memory = nullptr;
  ~AlternateStack() {
    if (memory == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    delete[] memory;
  }
};
thread_local AlternateStack alternateStack;

}  // namespace

void installAlternateSignalStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  std::size_t size = std::max<std::size_t>(kAlternateStackSize, SIGSTKSZ);
  char* memory = new char[size];
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = size;
  if (sigaltstack(&stack, nullptr) != 0) {
    delete[] memory;
    return;
  }
  delete[] alternateStack.memory;
  alternateStack.memory = memory;
}

}  // namespace platform
