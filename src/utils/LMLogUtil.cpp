#include "utils/LMLogUtil.h"

namespace lumora {

LMLogUtil& LMLogUtil::defaultUtil() {
  static auto& util = *new LMLogUtil();
  return util;
}

void LMLogUtil::logFlag(std::uint64_t flag, const char* file, const char* function,
                        std::uint64_t line, const char* format) {
  logFlag(flag, file, function, line, format, fmt::format_args());
}

void LMLogUtil::logFlag(std::uint64_t flag, const char* file, const char* function,
                        std::uint64_t line, const char* format, fmt::format_args args) {
  if (format == nullptr) return;
  deliver(flag, file, function, line, fmt::string_view(format), args);
}

void LMLogUtil::deliver(std::uint64_t flag, const char* file, const char* function,
                        std::uint64_t line, fmt::string_view format, fmt::format_args args) {
  // Look the sink up first: with nobody listening the text is not built.
  if (!isLogging(flag)) return;
  std::shared_ptr<LMLogDelegate> sink = defaultUtil().sinkFor(flag);
  if (!sink) return;

  LMLogMessage record;
  try {
    record.setMessage(fmt::vformat(format, args));
  } catch (const std::exception&) {
    // A run-time format that does not match its arguments: keep the line.
    record.setMessage(std::string(format.data(), format.size()));
  }
  record.setFileName(file ? file : "");
  record.setFuncName(function ? function : "");
  record.setLine(line);
  record.setFlag(flag);
  sink->appendLogMessage(record);
}

void LMLogUtil::setLogDelegate(const std::shared_ptr<LMLogDelegate>& delegate) {
  defaultUtil().setDelegate(delegate);
}

void LMLogUtil::removeLogDelegate(const std::shared_ptr<LMLogDelegate>& delegate) {
  defaultUtil().setDelegate(delegate);
}

std::shared_ptr<LMLogDelegate> LMLogUtil::delegate() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return delegate_.lock();
}

void LMLogUtil::setDelegate(const std::shared_ptr<LMLogDelegate>& delegate) {
  std::lock_guard<std::mutex> guard(mutex_);
  delegate_ = delegate;
  const bool takes = delegate && delegate->appendLogMessage;
  level_.store(takes ? delegate->logLevel : 0, std::memory_order_relaxed);
}

std::shared_ptr<LMLogDelegate> LMLogUtil::sinkFor(std::uint64_t flag) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::shared_ptr<LMLogDelegate> sink = delegate_.lock();
  if (!sink) {
    level_.store(0, std::memory_order_relaxed);
    return nullptr;
  }
  if (!sink->appendLogMessage || flag > sink->logLevel) return nullptr;
  return sink;
}

}  // namespace lumora
