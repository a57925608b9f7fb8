// The line form of the app's log files:
//   "<yyyy/MM/dd HH:mm:ss:SSS> [<level>] <function> (<file><line>):  <message>"
// with the time stamp in the device's local time, the level letter "E",
// "W", "I", "D" or "V" for the flags 1, 2, 4, 8 and 16 ("(null)" for any
// other flag) and the source file's name without folder or extension.
//
// A formatter keeps no state of its own (the local time of the current
// second is cached per thread), so one may serve any number of threads.
// Nothing fails.
#pragma once

#include <string>

#include <spdlog/common.h>

#include "applog/LoggerRegistry.h"

namespace lumora {

class QBFileLoggerFomatterDefault {
 public:
  // The line, without a line break.
  std::string formatLogMessage(const LogMessage& message) const;
  // Appends the line to `out`, without a line break.
  void appendLogMessage(const LogMessage& message, spdlog::memory_buf_t& out) const;

  // "yyyy/MM/dd HH:mm:ss:SSS" in local time.
  static void appendTimestamp(platform::Clock::TimePoint time, spdlog::memory_buf_t& out);
  // The letter of a level flag, nullptr for any other value.
  static const char* levelLetter(std::uint32_t flag);
  // "/a/b/QBLogUtil.cpp" -> "QBLogUtil".
  static std::string_view fileNameOf(std::string_view path);
};

}  // namespace lumora
