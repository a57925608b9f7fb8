// Symbolicates one report before it is packaged: with the report's binary
// image record loaded into the resolver, each of its crash records
// ("exception", "mach_exception", "signal", in that order) gets a companion
// "<record>.symbolicated" holding its threads' frames named and demangled.
// The crash records themselves are left as they are.
//
// Ownership: holds the report and the resolver (shared). Threading: run
// with start() on the caller's thread (the reports controller's work queue,
// or the launch thread for urgent reports). Failure: without a readable
// binary image record nothing is symbolicated (logged) and the report is
// packaged as it is; a record without threads gets no companion. When the
// binary image record or a crash record cannot be read now, or a
// companion cannot be made now, for a reason that may pass (too many open
// files, say), the work is left unfinished (logged, unfinished() is true)
// so that the caller can keep the report for a later try rather than send
// it without its companions.
#pragma once

#include <memory>
#include <string>

#include "blackbox/BBXFile.h"
#include "blackbox/BBXInternalReport.h"
#include "blackbox/BBXStackFrame.h"
#include "blackbox/BBXSymbolResolver.h"
#include "platform/Result.h"
#include "platform/dispatch/Operation.h"

namespace lumora {

class BBXProcessReportOperation : public platform::Operation {
 public:
  BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXSymbolResolver> resolver);

  std::string binaryImagePath() const;
  // The first "threads" section's stacks as frames holding only their
  // addresses; nullptr when the file has none (or cannot be read: `problem`,
  // optional, says why; None when it was read).
  static std::shared_ptr<BBXThreadArray> threadArrayFromFile(const std::string& path,
                                                             BBXFileReadProblem* problem = nullptr);
  // Names, demangles and writes out the file's threads; false without any
  // (no file, or one that never reads); an error when the file cannot be
  // read, or its companion made, now for a reason that may pass.
  static platform::Result<bool> symbolicateFile(const std::string& path,
                                                const std::shared_ptr<const BBXSymbolResolver>& resolver);
  // Whether the last run left work undone that a later try may do.
  bool unfinished() const { return unfinished_; }

 protected:
  void main() override;

 private:
  std::shared_ptr<BBXInternalReport> report_;
  std::shared_ptr<BBXSymbolResolver> symbolResolver_;
  bool unfinished_ = false;
};

}  // namespace lumora
