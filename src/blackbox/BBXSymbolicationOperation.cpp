#include "blackbox/BBXSymbolicationOperation.h"

namespace lumora {

BBXSymbolicationOperation::BBXSymbolicationOperation(std::shared_ptr<BBXThreadArray> threadArray,
                                                     std::shared_ptr<const BBXSymbolResolver> symbolResolver)
    : BBXThreadArrayOperation(std::move(threadArray)), symbolResolver_(std::move(symbolResolver)) {}

void BBXSymbolicationOperation::main() {
  if (!symbolResolver_) return;
  enumerateFramesWithBlock([this](BBXStackFrame& frame) { symbolResolver_->updateStackFrame(frame); });
}

}  // namespace lumora
