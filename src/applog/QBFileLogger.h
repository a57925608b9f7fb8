// The app's rolling file logger. Lines are formatted on the thread that
// logs them (QBFileLoggerFomatterDefault, plus a line feed) and written by
// one writer thread of the logger's own into the current log file, which
// its log file manager names and prunes. A file is begun with the first
// line after the logger starts (files are never reused), and closed after
// the write that brings it to maximumFileSize() or before the first line
// logged rollingFrequency() after it was begun; rollLogFile() closes it on
// request. Times come from the lines' time stamps (platform::Clock).
//
// Ownership: owns its writer thread, its manager and the open file; the
// destructor writes what is queued and joins the thread. Threading:
// logMessage(), flush() and the setters may be called from any thread; a
// full hand-over ring makes logMessage() wait for the writer. Failures: a
// file that cannot be created or written drops the lines (the next line
// tries a new file); nothing throws.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "applog/LogLineQueue.h"
#include "applog/LoggerRegistry.h"
#include "applog/QBFileLoggerFomatterDefault.h"
#include "applog/QBLogFileManagerDefault.h"

namespace lumora {

class QBFileLogger : public Logger {
 public:
  static constexpr std::uint64_t kDefaultMaximumFileSize = 1024 * 1024;
  static constexpr platform::Clock::Duration kDefaultRollingFrequency = std::chrono::hours(24);

  // With a manager over the default logs directory.
  QBFileLogger();
  explicit QBFileLogger(std::shared_ptr<QBLogFileManagerDefault> logFileManager);
  ~QBFileLogger() override;
  QBFileLogger(const QBFileLogger&) = delete;
  QBFileLogger& operator=(const QBFileLogger&) = delete;

  const std::shared_ptr<QBLogFileManagerDefault>& logFileManager() const { return manager_; }
  const QBFileLoggerFomatterDefault& logFormatter() const { return formatter_; }

  std::uint64_t maximumFileSize() const { return maximumFileSize_.load(); }
  void setMaximumFileSize(std::uint64_t bytes) { maximumFileSize_ = bytes; }
  platform::Clock::Duration rollingFrequency() const { return rollingFrequency_.load(); }
  void setRollingFrequency(platform::Clock::Duration every) { rollingFrequency_ = every; }

  void logMessage(const LogMessage& message) override;
  void flush() override;
  // Closes the current file so that the next line begins a new one;
  // `completion` (may be empty) then runs on the global queue with the log
  // files as they were right after the roll, newest first (so none begun
  // later is among them).
  using RollCompletion = std::function<void(const std::vector<std::string>& logFileNames)>;
  void rollLogFile(RollCompletion completion);

 private:
  void run();
  void writeLine(LogLineQueue::Slot& slot);
  void closeFile();
  // Makes what was written so far visible in the file and tells flush().
  void publishWritten(std::uint64_t upTo);

  std::shared_ptr<QBLogFileManagerDefault> manager_;
  QBFileLoggerFomatterDefault formatter_;
  std::atomic<std::uint64_t> maximumFileSize_{kDefaultMaximumFileSize};
  std::atomic<platform::Clock::Duration> rollingFrequency_{kDefaultRollingFrequency};

  LogLineQueue queue_;
  // Writer thread only.
  std::FILE* file_ = nullptr;
  platform::Clock::TimePoint fileBegun_;
  std::uint64_t fileSize_ = 0;

  std::atomic<std::uint64_t> written_{0};
  std::atomic<int> flushWaiters_{0};
  std::mutex flushMutex_;
  std::condition_variable flushed_;
  std::thread writer_;
};

}  // namespace lumora
