// Writes a thread array's frames into a record file created afresh at
// `outputPath`: one section "threads", per thread an array, per frame
// "symbol" (or null), "offset", "library" (or null).
// Ownership, threading: as BBXThreadArrayOperation. Failure: a file that
// cannot be created is logged and nothing is written; failure() tells why.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "blackbox/BBXFile.h"
#include "blackbox/BBXThreadArrayOperation.h"

namespace lumora {

class BBXSerializeSymbolicatedFramesOperation : public BBXThreadArrayOperation {
 public:
  // BBXFileInitWithPathMode's shape: creates the output file.
  using Create = std::function<bool(BBXFile* file, const char* path)>;

  BBXSerializeSymbolicatedFramesOperation(std::shared_ptr<BBXThreadArray> threadArray, std::string outputPath);
  const std::string& outputPath() const { return outputPath_; }
  // The errno of a creation that failed in the last run; 0 when none did.
  int failure() const { return failure_; }

  // Replaces the creation of output files (tests); null restores the
  // record-file writer's.
  static void setCreateForTesting(Create create);

 protected:
  void main() override;

 private:
  std::string outputPath_;
  int failure_ = 0;
};

}  // namespace lumora
