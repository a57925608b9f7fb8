// One statistics crash record: state, app information and exception, kept
// as the keyed archive "kostat_crash.ko" (KoACrashReportStore), and its
// text form, which the upload sends and digests.
// Plain value; any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/storage/KeyedArchive.h"
#include "stats/KoACMAppInfo.h"
#include "stats/KoACMException.h"
#include "stats/KoACMState.h"

namespace lumora {

class KoACrashMessage {
 public:
  static constexpr const char* kStateKey = "STATE";
  static constexpr const char* kAppInfoKey = "APP_INFO";
  static constexpr const char* kExceptionKey = "EXCEPTION";

  KoACMState objState;
  KoACMAppInfo objAppInfo;
  KoACMException objException;

  void encodeWithCoder(platform::KeyedArchive& coder) const;
  // nullopt unless the archive holds the three parts.
  static std::optional<KoACrashMessage> initWithCoder(const platform::KeyedArchive& coder);

  double getLuanchTime() const { return objState.nAppRunTime; }
  double getCrashTime() const { return objState.nCrashTime; }
  // "yyyy-MM-ddTHH:mm:ssZ" (UTC), or "NULL" for a time not above 0.
  std::string getLuanchTimeString() const;
  std::string getCrashTimeString() const;
  // The exception's texts; "NULL" when absent or empty.
  std::string getCrashType() const;
  std::string getCrashDesc() const;
  // Each frame followed by " \n"; "NULL" without frames.
  std::string getCrashCallstack() const;
  // The crash text: app information, exception and state, one after the
  // other.
  std::string getCrashInfomation() const;
};

}  // namespace lumora
