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
// packaged as it is; a record without threads gets no companion.
#pragma once

#include <memory>
#include <string>

#include "blackbox/BBXInternalReport.h"
#include "blackbox/BBXStackFrame.h"
#include "blackbox/BBXSymbolResolver.h"
#include "platform/dispatch/Operation.h"

namespace lumora {

class BBXProcessReportOperation : public platform::Operation {
 public:
  BBXProcessReportOperation(std::shared_ptr<BBXInternalReport> report, std::shared_ptr<BBXSymbolResolver> resolver);

  std::string binaryImagePath() const;
  // The first "threads" section's stacks as frames holding only their
  // addresses; nullptr when the file has none (or cannot be read).
  static std::shared_ptr<BBXThreadArray> threadArrayFromFile(const std::string& path);
  // Names, demangles and writes out the file's threads; false without any.
  static bool symbolicateFile(const std::string& path, const std::shared_ptr<const BBXSymbolResolver>& resolver);

 protected:
  void main() override;

 private:
  std::shared_ptr<BBXInternalReport> report_;
  std::shared_ptr<BBXSymbolResolver> symbolResolver_;
};

}  // namespace lumora
