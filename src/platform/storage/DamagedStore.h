// What the app's SQLite stores do with a file they cannot use (the gallery
// cache, the contacts record store): a link, a folder or a special file in
// the store's place is never opened, and a store that cannot be read is
// moved aside, with its journal files, under a name of its own
// ("<name>.unreadable-<milliseconds on the clock>"), so that a new store can
// be made in its place and the old one is still there to look at; the
// newest kMovedAsideKept copies of a store are kept, older ones go. Damage
// counts wherever SQLite reports it: on opening (a quick check of every
// page), and from any later statement, read or write.
//
// Threading: any thread. Failures: false when the file stays where it is.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

struct sqlite3;

namespace platform {

// Whether a SQLite result code (primary or extended) says the file is not a
// database or is damaged.
bool isDamageCode(int rc);

// Whether SQLite's quick check of the connection's file finds damage: a
// page that cannot be read, a broken tree or an index out of step with its
// table. A file that is merely busy or locked is not damaged.
bool failsQuickCheck(sqlite3* db);

// Whether `store` is missing or a plain file (not a link, a folder, a FIFO,
// a device or a socket).
bool isMissingOrPlainFile(const std::filesystem::path& store);

// Whether the SQLite file at `store` proves damaged: not a plain file, not a
// database, one of the `probes` (statements that name the tables and columns
// the store needs) cannot be prepared, or it fails the quick check. A file
// that is missing, busy or cannot be opened now is not.
bool isDamagedStore(const std::filesystem::path& store, const std::vector<std::string>& probes);

// Copies of one store kept moved aside; each further move removes the oldest.
inline constexpr std::size_t kMovedAsideKept = 3;

// Moves `store` (whatever it is: a link is moved, not followed) and its
// "-wal", "-shm" and "-journal" files aside; false when the store stays.
// Then removes the store's copies moved aside before, beyond the newest
// kMovedAsideKept (by the time in their names), with their journal files:
// only regular files named exactly as a move names them; a folder or a link
// of such a name, and whatever it holds or leads to, stays.
bool moveDamagedStoreAside(const std::filesystem::path& store);

}  // namespace platform
