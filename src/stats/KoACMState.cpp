#include "stats/KoACMState.h"

#include <fmt/format.h>

namespace lumora {

void KoACMState::encodeWithCoder(platform::KeyedArchive& coder) const {
  coder.encodeBool(kAppActiveKey, blnAppActive);
  coder.encodeInt64(kLaunchNumKey, nLaunchNum);
  coder.encodeInt64(kOutOfMemoryNumKey, nOutOfMemoryNum);
  coder.encodeDouble(kAppRunTimeKey, nAppRunTime);
  coder.encodeDouble(kCrashTimeKey, nCrashTime);
}

KoACMState KoACMState::initWithCoder(const platform::KeyedArchive& coder) {
  KoACMState state;
  state.blnAppActive = coder.decodeBool(kAppActiveKey).value_or(false);
  state.nLaunchNum = coder.decodeInt32(kLaunchNumKey).value_or(0);
  state.nOutOfMemoryNum = coder.decodeInt32(kOutOfMemoryNumKey).value_or(0);
  state.nAppRunTime = coder.decodeDouble(kAppRunTimeKey).value_or(0);
  state.nCrashTime = coder.decodeDouble(kCrashTimeKey).value_or(0);
  return state;
}

std::string KoACMState::description() const {
  return fmt::format("\n{}:{} \n{}:{} \n{}:{} \n{}:{:f} \n{}:{:f} \n", kAppActiveKey, blnAppActive ? "YES" : "NO",
                     kLaunchNumKey, nLaunchNum, kOutOfMemoryNumKey, nOutOfMemoryNum, kAppRunTimeKey, nAppRunTime,
                     kCrashTimeKey, nCrashTime);
}

}  // namespace lumora
