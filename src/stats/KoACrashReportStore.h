// The statistics crash record on disk: the keyed archive
// "<tmp>/kostat_crash.ko" (root key "root"), one record, the last crash's,
// and beside it the raw note a signal handler leaves ("kostat_crash.note",
// see KoACrashNote). Every look at the record first turns a whole note into
// the record (replacing it) and removes the note, so whatever reads the
// record after a crash by signal sees that crash; whatever else lies at
// the note's name (a folder among them) goes too, so the next crash's note
// can be written. A record that cannot be read is set aside as the keyed
// archive sets one aside, a folder at its name among them.
//
// Ownership: shareSingletion() is process-wide, never destroyed; paths
// follow the app home of the moment. Threading: any thread; one lock
// orders the file work. Failures: silent; a file that is no record reads
// as nullopt and stays.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "stats/KoACrashMessage.h"

namespace lumora {

class KoACrashReportStore {
 public:
  static constexpr const char* kFileName = "kostat_crash.ko";
  static constexpr const char* kNoteName = "kostat_crash.note";

  static KoACrashReportStore& shareSingletion();

  std::filesystem::path getPath() const;
  std::filesystem::path getNotePath() const;
  bool hasCrashFile();
  // The removal's result (false when there was no file).
  bool deleteCrashFile();
  std::optional<KoACrashMessage> getCrashMessage();
  // Writes the record, replacing the file and any note (an older crash).
  void saveCrashMessage(const KoACrashMessage& message);

 private:
  void adoptNote();

  std::mutex mutex_;
};

}  // namespace lumora
