// The raw crash note: what the signal handler writes instead of the keyed
// archive, since a process in an arbitrary state must not allocate. One
// "KEY=value" line per archive key of the record (values escaped to one
// line, "CALL_STACK" once per frame), between a first line naming the
// format and a last line "END"; the record store turns a whole note into
// "kostat_crash.ko" before anything reads that file, and drops a note that
// was cut short.
//
// prepare() gathers the parts that do not change (the app information, the
// note's path, the signal texts) in ordinary code; writeFromSignal() then
// only reads them and writes with write(2): it takes no lock and allocates
// nothing. Ownership: the prepared parts are process-wide; the ones in use
// are never freed, and replaced ones only once no handler is running (a
// handler may be reading them). Failure: a note that cannot be written is
// skipped; one that cannot be read is nullopt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "stats/KoACMAppInfo.h"
#include "stats/KoACrashMessage.h"

namespace lumora {

class KoACrashNote {
 public:
  KoACrashNote() = delete;

  // The state values of the moment of the crash.
  struct State {
    bool active = false;
    std::int32_t launchNum = 0;
    std::int32_t outOfMemoryNum = 0;
    std::int64_t runTime = 0;    // whole seconds since 1970
    std::int64_t crashTime = 0;  // whole seconds since 1970
  };

  // Replaces the prepared parts: the note goes to `path`, with `appInfo`
  // and the descriptions of `signals`.
  static void prepare(const std::filesystem::path& path, const KoACMAppInfo& appInfo,
                      const std::vector<int>& signals);
  // Async-signal-safe. Writes the note of `signal` with the calling
  // thread's stack; false when nothing was prepared for that signal or the
  // file could not be opened.
  static bool writeFromSignal(int signal, const State& state);

  // The record a whole note describes; nullopt for a missing, partial or
  // foreign file.
  static std::optional<KoACrashMessage> read(const std::filesystem::path& path);
};

}  // namespace lumora
