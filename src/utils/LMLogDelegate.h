// The sink that receives the cloud SDK's log records, installed by the host
// app through LMLogUtil::setLogDelegate and held there weakly.
//
// Its one operation is optional: a sink provides it by assigning the
// appendLogMessage hook (normally in its constructor, before it is installed);
// a sink that leaves the hook empty is never called. The hook runs on the
// logging thread, synchronously, from any thread at once, so it must be
// thread-safe and must not throw. Do not reassign the hook or change
// logLevel once the sink is installed: both are read when it is installed.
#pragma once

#include <cstdint>
#include <functional>

#include "utils/LMLogMessage.h"

namespace lumora {

class LMLogDelegate {
 public:
  virtual ~LMLogDelegate() = default;

  // Optional: receives one record per SDK log call. Empty = not provided.
  std::function<void(const LMLogMessage& message)> appendLogMessage;

  // The most detailed flag the sink takes (kLMLogFlag...): lines of higher
  // flags are neither formatted nor delivered, and the log macros do not
  // even evaluate their arguments for them.
  std::uint64_t logLevel = kLMLogFlagVerbose;

 protected:
  LMLogDelegate() = default;
  LMLogDelegate(const LMLogDelegate&) = default;
  LMLogDelegate& operator=(const LMLogDelegate&) = default;
};

}  // namespace lumora
