// The process-wide holder of the cloud SDK's log sink. Every SDK log call
// becomes one LMLogMessage handed synchronously, on the caller's thread, to
// the sink the host app installed; with no sink (or a sink without the
// optional appendLogMessage hook, or one that has been destroyed) or a flag
// above the sink's logLevel the record is dropped, and the log macros then
// skip the call (arguments are not evaluated, nothing is formatted). The sink
// is held weakly. Safe to call from any thread; a format that fmt rejects at
// run time is delivered as its raw text, never thrown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>

#include <fmt/format.h>

#include "utils/LMLogDelegate.h"
#include "utils/LMLogMessage.h"

namespace lumora {

class LMLogUtil {
 public:
  // The one instance, created on first use.
  static LMLogUtil& defaultUtil();

  // Formats with fmt ("{}" placeholders; checked at compile time) and delivers
  // one record. (A prepared fmt argument list goes to the overload below.)
  template <class... Args>
    requires(!(sizeof...(Args) == 1 && (std::is_convertible_v<Args, fmt::format_args> && ...)))
  static void logFlag(std::uint64_t flag, const char* file, const char* function,
                      std::uint64_t line, fmt::format_string<Args...> format, Args&&... args) {
    deliver(flag, file, function, line, fmt::string_view(format), fmt::make_format_args(args...));
  }

  // A run-time format without arguments ("{{" still reads as "{"); a null
  // format delivers nothing.
  static void logFlag(std::uint64_t flag, const char* file, const char* function,
                      std::uint64_t line, const char* format);

  // A run-time format with a prepared argument list; a null format delivers
  // nothing.
  static void logFlag(std::uint64_t flag, const char* file, const char* function,
                      std::uint64_t line, const char* format, fmt::format_args args);

  // Installs `delegate` as the sink of defaultUtil(), held weakly; nullptr
  // clears it.
  static void setLogDelegate(const std::shared_ptr<LMLogDelegate>& delegate);
  // The same as setLogDelegate: installs its argument (nullptr clears).
  static void removeLogDelegate(const std::shared_ptr<LMLogDelegate>& delegate);

  // Whether a line of `flag` would reach a sink: one atomic read, so callers
  // can skip building what they log. May say yes for a sink that has just
  // gone away (the line is then dropped on delivery).
  static bool isLogging(std::uint64_t flag) {
    return flag <= defaultUtil().level_.load(std::memory_order_relaxed);
  }

  // The sink, if it is set and still alive.
  std::shared_ptr<LMLogDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<LMLogDelegate>& delegate);

  LMLogUtil(const LMLogUtil&) = delete;
  LMLogUtil& operator=(const LMLogUtil&) = delete;

 private:
  LMLogUtil() = default;

  static void deliver(std::uint64_t flag, const char* file, const char* function,
                      std::uint64_t line, fmt::string_view format, fmt::format_args args);
  // The sink if it takes lines of `flag`; forgets a sink that went away.
  std::shared_ptr<LMLogDelegate> sinkFor(std::uint64_t flag);

  mutable std::mutex mutex_;
  std::weak_ptr<LMLogDelegate> delegate_;
  // The installed sink's logLevel; 0 while no sink takes anything.
  std::atomic<std::uint64_t> level_{0};
};

}  // namespace lumora

// Log macros for SDK code: they pass the caller's file, function and line,
// and evaluate their arguments only when a sink takes the line.
// Usage: LM_LOG_ERROR("save failed: {}", error.description());
#define LM_LOG_FLAG(flag, ...)                                                             \
  do {                                                                                     \
    const std::uint64_t lmLogFlag = (flag);                                                \
    if (::lumora::LMLogUtil::isLogging(lmLogFlag)) {                                       \
      ::lumora::LMLogUtil::logFlag(lmLogFlag, __FILE__, __func__, __LINE__, __VA_ARGS__); \
    }                                                                                      \
  } while (false)
#define LM_LOG_ERROR(...) LM_LOG_FLAG(::lumora::kLMLogFlagError, __VA_ARGS__)
#define LM_LOG_WARN(...) LM_LOG_FLAG(::lumora::kLMLogFlagWarning, __VA_ARGS__)
#define LM_LOG_INFO(...) LM_LOG_FLAG(::lumora::kLMLogFlagInfo, __VA_ARGS__)
#define LM_LOG_DEBUG(...) LM_LOG_FLAG(::lumora::kLMLogFlagDebug, __VA_ARGS__)
#define LM_LOG_VERBOSE(...) LM_LOG_FLAG(::lumora::kLMLogFlagVerbose, __VA_ARGS__)
