// Writes a thread array's frames into a record file created afresh at
// `outputPath`: one section "threads", per thread an array, per frame
// "symbol" (or null), "offset", "library" (or null).
// Ownership, threading: as BBXThreadArrayOperation. Failure: a file that
// cannot be created is logged and nothing is written.
#pragma once

#include <memory>
#include <string>

#include "blackbox/BBXThreadArrayOperation.h"

namespace lumora {

class BBXSerializeSymbolicatedFramesOperation : public BBXThreadArrayOperation {
 public:
  BBXSerializeSymbolicatedFramesOperation(std::shared_ptr<BBXThreadArray> threadArray, std::string outputPath);
  const std::string& outputPath() const { return outputPath_; }

 protected:
  void main() override;

 private:
  std::string outputPath_;
};

}  // namespace lumora
