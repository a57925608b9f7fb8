// The renames that give an app home's copies of its shared files their
// names (see SharedFileCopies), written whole and to disk in the home
// (".lumora.renames") before the first of them removes a name. A SQLite
// store's copy replaces the journal files at its name as well, and they may
// hold transactions that only the copy holds besides: a start cut short
// (killed, crashed, the power gone) between the removal of those names and
// the rename of the copy left the copy under its leftover's name, and the
// next start, holding the home, completes what the record names before it
// clears any leftover. The renames are made so that each can be made again:
// a copy still under its leftover's name has not taken its name yet.
//
// The record holds each name relative to the home, as bytes (whatever the
// names' encoding), NUL-ended: a kind ('s' a store, 'f' another file), the
// file's name, its copy's name.
//
// Threading: one thread, the home held. Failure: a POSIX error naming the
// file.
#pragma once

#include <filesystem>
#include <vector>

#include "platform/Result.h"

namespace platform {

class RenameRecord {
 public:
  struct Entry {
    std::filesystem::path target;
    // The copy, beside `target` under a leftover's name.
    std::filesystem::path copy;
    // A SQLite store: its journal files at `target` go first.
    bool store = false;
  };

  static constexpr const char* kFileName = ".lumora.renames";

  // Puts the record of `entries` (below `root`) in `root`, on disk.
  static Status write(const std::filesystem::path& root, const std::vector<Entry>& entries);
  // Removes the record in `root`.
  static Status remove(const std::filesystem::path& root);
  // Gives `entry`'s copy its name (a store's journal files there removed
  // first).
  static Status take(const Entry& entry);
  // Completes the renames that the record in `root` names and whose copies
  // are still there, then removes it; nothing to do without one.
  static Status complete(const std::filesystem::path& root);
};

}  // namespace platform
