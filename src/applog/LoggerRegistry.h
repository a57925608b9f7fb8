// The app's logging front: every app log line (and every cloud SDK line the
// app forwards) becomes one LogMessage handed to each logger registered
// here, the way the app's logging library keeps one global list of loggers.
// The app registers one logger, the rolling file logger (QBFileLogger).
//
// Ownership: the registry is process-wide and holds its loggers strongly
// until removeAllLoggers(). Threading: log() may be called from any thread
// at once and takes no lock (each thread keeps a snapshot of the logger list
// that it renews when the list changes); addLogger/removeAllLoggers are
// locked and rare. A logger's logMessage() runs on the logging thread and
// must be thread-safe. Failures: none reported; a logger that cannot write
// drops the line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "platform/dispatch/Clock.h"

namespace lumora {

// Level flags of a log line.
inline constexpr std::uint32_t kLogFlagError = 1;
inline constexpr std::uint32_t kLogFlagWarning = 2;
inline constexpr std::uint32_t kLogFlagInfo = 4;
inline constexpr std::uint32_t kLogFlagDebug = 8;
inline constexpr std::uint32_t kLogFlagVerbose = 16;
// The app logs errors, warnings and information (debug and verbose lines
// are not written), under its own context number.
inline constexpr std::uint32_t kAppLogLevel = kLogFlagError | kLogFlagWarning | kLogFlagInfo;
inline constexpr int kAppLogContext = 137;

// One log line as the loggers see it. The views are valid only for the
// duration of Logger::logMessage; a logger that keeps a message copies them.
struct LogMessage {
  platform::Clock::TimePoint timestamp;
  std::uint32_t flag = 0;
  int context = 0;
  std::string_view file;      // the source file's path as the caller gave it
  std::string_view function;  // the function's name
  std::uint64_t line = 0;
  std::string_view message;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual void logMessage(const LogMessage& message) = 0;
  // Returns once every line handed over so far has been written.
  virtual void flush() {}
};

class LoggerRegistry {
 public:
  static void addLogger(std::shared_ptr<Logger> logger);
  static void removeAllLoggers();
  static std::vector<std::shared_ptr<Logger>> allLoggers();
  // True when at least one logger is registered (the text of a line is
  // not built otherwise).
  static bool hasLoggers();

  // Hands the line to every logger. A synchronous line returns once the
  // loggers have written it; an asynchronous one as soon as they hold it.
  // The time stamp is taken here, on platform::Clock.
  static void log(bool asynchronous, std::uint32_t flag, int context, std::string_view file,
                  std::string_view function, std::uint64_t line, std::string_view message);
  // Waits until every logger has written what it was given.
  static void flushLog();
};

}  // namespace lumora

// App log macros: the caller's file, function and line with the app's
// context. Errors are written synchronously, warnings and information
// asynchronously. Usage: QB_LOG_ERROR("upload failed: {}", text);
#define QB_LOG_MAYBE(async, flag, ...)                                                        \
  do {                                                                                        \
    if (::lumora::LoggerRegistry::hasLoggers()) {                                             \
      ::lumora::LoggerRegistry::log((async), (flag), ::lumora::kAppLogContext, __FILE__,     \
                                    __func__, __LINE__, ::fmt::format(__VA_ARGS__));         \
    }                                                                                         \
  } while (false)
#define QB_LOG_ERROR(...) QB_LOG_MAYBE(false, ::lumora::kLogFlagError, __VA_ARGS__)
#define QB_LOG_WARN(...) QB_LOG_MAYBE(true, ::lumora::kLogFlagWarning, __VA_ARGS__)
#define QB_LOG_INFO(...) QB_LOG_MAYBE(true, ::lumora::kLogFlagInfo, __VA_ARGS__)
