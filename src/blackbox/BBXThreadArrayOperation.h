// The steps that work over one report file's thread array, each an
// operation run with start() on the caller's thread, one after another over
// the same array: naming the frames (BBXSymbolicationOperation), demangling
// the names (BBXDemangleOperation), writing them out
// (BBXSerializeSymbolicatedFramesOperation).
//
// Ownership: the thread array is shared by the steps. Threading: the steps
// run one after another on one thread (cancel() from any). Failure: each
// step leaves a frame it cannot handle as it was.
#pragma once

#include <functional>
#include <memory>

#include "blackbox/BBXStackFrame.h"
#include "platform/dispatch/Operation.h"

namespace lumora {

class BBXThreadArrayOperation : public platform::Operation {
 public:
  explicit BBXThreadArrayOperation(std::shared_ptr<BBXThreadArray> threadArray);

  const std::shared_ptr<BBXThreadArray>& threadArray() const { return threadArray_; }
  // Threads in order, frames in order. Once cancelled, the rest of the
  // current thread is skipped after its next frame, and so for each thread
  // after it.
  void enumerateFramesWithBlock(const std::function<void(BBXStackFrame&)>& block) const;

 private:
  std::shared_ptr<BBXThreadArray> threadArray_;
};

}  // namespace lumora
