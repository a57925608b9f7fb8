// The state part of a statistics crash record: whether the app was active,
// how often it came back to the foreground, and when it started and
// crashed (whole seconds since 1970; a crash time of 0 means none yet).
// "OUT_OF_MEMORY_NUM" is counted by nothing and stays 0.
// Plain value; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/storage/KeyedArchive.h"

namespace lumora {

class KoACMState {
 public:
  static constexpr const char* kAppActiveKey = "APP_ACTIVE";
  static constexpr const char* kLaunchNumKey = "LAUNCH_NUM";
  static constexpr const char* kOutOfMemoryNumKey = "OUT_OF_MEMORY_NUM";
  static constexpr const char* kAppRunTimeKey = "APP_RUN_TIME";
  static constexpr const char* kCrashTimeKey = "APP_CRASH_TIME";

  bool blnAppActive = false;
  std::int32_t nLaunchNum = 0;
  std::int32_t nOutOfMemoryNum = 0;
  double nAppRunTime = 0;
  double nCrashTime = 0;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  static KoACMState initWithCoder(const platform::KeyedArchive& coder);
  // "\n", then "APP_ACTIVE:YES \n" (or NO), the two counts as "%d" and the
  // two times as "%f", each line ending " \n".
  std::string description() const;
};

}  // namespace lumora
