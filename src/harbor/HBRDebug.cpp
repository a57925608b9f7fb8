#include "harbor/HBRDebug.h"

#include <atomic>

namespace lumora {
namespace {

std::atomic<bool>& debugSwitch() {
  static std::atomic<bool> on{false};
  return on;
}

}  // namespace

bool HBRDebugEnabled() { return debugSwitch().load(); }

void HBRSetDebugEnabled(bool enabled) { debugSwitch().store(enabled); }

}  // namespace lumora
