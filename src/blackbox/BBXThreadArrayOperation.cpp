#include "blackbox/BBXThreadArrayOperation.h"

namespace lumora {

BBXThreadArrayOperation::BBXThreadArrayOperation(std::shared_ptr<BBXThreadArray> threadArray)
    : threadArray_(std::move(threadArray)) {}

void BBXThreadArrayOperation::enumerateFramesWithBlock(const std::function<void(BBXStackFrame&)>& block) const {
  if (!block || !threadArray_) return;
  for (const auto& thread : *threadArray_) {
    for (const auto& frame : thread) {
      if (frame) block(*frame);
      if (isCancelled()) break;
    }
  }
}

}  // namespace lumora
