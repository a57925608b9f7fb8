// What the app's SQLite stores do with a file they cannot use (the gallery
// cache, the contacts record store): a link, a folder or a special file in
// the store's place is never opened, and a store that cannot be read is
// moved aside, with its journal files, under a name of its own
// ("<name>.unreadable-<milliseconds on the clock>"), so that a new store can
// be made in its place and the old one is still there to look at.
//
// Threading: any thread. Failures: false when the file stays where it is.
#pragma once

#include <filesystem>

namespace platform {

// Whether `store` is missing or a plain file (not a link, a folder, a FIFO,
// a device or a socket).
bool isMissingOrPlainFile(const std::filesystem::path& store);

// Moves `store` (whatever it is: a link is moved, not followed) and its
// "-wal", "-shm" and "-journal" files aside; false when the store stays.
bool moveDamagedStoreAside(const std::filesystem::path& store);

}  // namespace platform
