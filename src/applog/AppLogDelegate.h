// The app's sink for the cloud SDK's log lines: SDK errors, warnings and
// information become app log lines (errors written synchronously), with the
// SDK caller's file, function and line; debug and verbose lines are
// dropped; a level outside the SDK's five becomes an error line. Install
// it with LMLogUtil::setLogDelegate (held weakly there,
// so the app keeps it). Thread-safe: it keeps no state.
#pragma once

#include "utils/LMLogDelegate.h"

namespace lumora {

class AppLogDelegate : public LMLogDelegate {
 public:
  AppLogDelegate();
  // What the hook does, for sinks that do more with each line.
  static void appendLogMessageToAppLog(const LMLogMessage& message);
};

}  // namespace lumora
