// The log file manager of the app's file logger: the logs directory
// ("<Caches>/Logs"), the names of new log files ("<app> yyyy-MM-dd HH-mm.log"
// in the device's local time, from platform::Clock, with " 2", " 3", ...
// before ".log" when that name is taken), which files of the directory are
// log files, their order (newest first, by the time in their names, then by
// their number) and the deletion of the files beyond the number kept.
//
// Ownership: a value owned by its file logger. Threading: the file logger
// calls it from its writer thread while others list the files; every member
// is safe from any thread (the limits are atomics, the rest reads the
// directory). Failures: a directory or file that cannot be created gives an
// empty path; files that cannot be deleted stay.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"

namespace lumora {

class QBLogFileManagerDefault {
 public:
  static constexpr std::size_t kDefaultMaximumNumberOfLogFiles = 5;
  static constexpr std::uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;

  // The default logs directory: "<Caches>/Logs".
  QBLogFileManagerDefault();
  explicit QBLogFileManagerDefault(std::filesystem::path logsDirectory);

  // The directory, created when missing.
  std::filesystem::path logsDirectory() const;

  // Files kept (0: no limit); past it the oldest go when a file is created.
  std::size_t maximumNumberOfLogFiles() const { return maximumNumberOfLogFiles_.load(); }
  void setMaximumNumberOfLogFiles(std::size_t count) { maximumNumberOfLogFiles_ = count; }
  // Bytes the files may take together (0: no limit); the newest file is
  // always kept.
  std::uint64_t logFilesDiskQuota() const { return logFilesDiskQuota_.load(); }
  void setLogFilesDiskQuota(std::uint64_t bytes) { logFilesDiskQuota_ = bytes; }

  // The bundle identifier, else the process name, else "".
  static std::string applicationName();
  // "yyyy-MM-dd HH-mm" of a time in local time, and back (nullopt when the
  // text is not one).
  static std::string logFileDateText(platform::Clock::TimePoint time);
  static std::optional<std::time_t> logFileDateFromText(const std::string& text);

  // Whether a file name is one of this app's log file names.
  bool isLogFile(const std::string& fileName) const;

  // Creates a new empty log file named after `time`; the path, or empty on
  // failure. Deletes the files beyond the limits afterwards. With
  // `descriptor`, the new file stays open there for appending (the caller
  // closes it), so that what is written goes into the very file made, never
  // into whatever is put at its name later.
  std::filesystem::path createNewLogFile(platform::Clock::TimePoint time, int* descriptor = nullptr);
  void deleteOldLogFiles();

  // The log files of the directory, newest first.
  std::vector<std::filesystem::path> sortedLogFilePaths() const;
  std::vector<std::string> sortedLogFileNames() const;

 private:
  struct Entry {
    std::filesystem::path path;
    std::time_t date = 0;
    unsigned long number = 1;
  };
  std::optional<Entry> entryFor(const std::filesystem::path& path) const;
  // Deletes the files beyond the limits, never `keep` (the file just begun,
  // even when a clock set back makes it look older than the others).
  void deleteOldLogFiles(const std::filesystem::path& keep);
  std::vector<Entry> sortedEntries() const;

  std::filesystem::path logsDirectory_;
  std::atomic<std::size_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  std::atomic<std::uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};
};

}  // namespace lumora
