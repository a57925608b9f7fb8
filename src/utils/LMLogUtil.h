// The process-wide holder of the cloud SDK's log sink. Every SDK log call
// becomes one LMLogMessage handed synchronously, on the caller's thread, to
// the sink the host app installed; with no sink (or a sink without the
// optional appendLogMessage hook, or one that has been destroyed) the record
// is dropped. The sink is held weakly. Safe to call from any thread; a format
// that fmt rejects at run time is delivered as its raw text, never thrown.
#pragma once

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

  // The sink, if it is set and still alive.
  std::shared_ptr<LMLogDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<LMLogDelegate>& delegate);

  LMLogUtil(const LMLogUtil&) = delete;
  LMLogUtil& operator=(const LMLogUtil&) = delete;

 private:
  LMLogUtil() = default;

  static void deliver(std::uint64_t flag, const char* file, const char* function,
                      std::uint64_t line, fmt::string_view format, fmt::format_args args);

  mutable std::mutex mutex_;
  std::weak_ptr<LMLogDelegate> delegate_;
};

}  // namespace lumora

// Log macros for SDK code: they pass the caller's file, function and line.
// Usage: LM_LOG_ERROR("save failed: {}", error.description());
#define LM_LOG_FLAG(flag, ...) \
  ::lumora::LMLogUtil::logFlag((flag), __FILE__, __func__, __LINE__, __VA_ARGS__)
#define LM_LOG_ERROR(...) LM_LOG_FLAG(::lumora::kLMLogFlagError, __VA_ARGS__)
#define LM_LOG_WARN(...) LM_LOG_FLAG(::lumora::kLMLogFlagWarning, __VA_ARGS__)
#define LM_LOG_INFO(...) LM_LOG_FLAG(::lumora::kLMLogFlagInfo, __VA_ARGS__)
#define LM_LOG_DEBUG(...) LM_LOG_FLAG(::lumora::kLMLogFlagDebug, __VA_ARGS__)
#define LM_LOG_VERBOSE(...) LM_LOG_FLAG(::lumora::kLMLogFlagVerbose, __VA_ARGS__)
