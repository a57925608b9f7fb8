// Damage done to a SQLite store's file the way a failing disk does it: a page
// of the file overwritten, at rest or while a connection has the file open.
#pragma once

#include <filesystem>

namespace testsupport {

// Overwrites the second page of the file (bytes 4096 to 8191; every page
// after the first with `wholeRest`) with `fill`, the header left as it is.
// What a write-ahead log holds is written into the file first.
void damagePages(const std::filesystem::path& file, char fill, bool wholeRest = false);

// The same to every page after the first while the app holds the file open;
// afterwards another connection's change to the header makes every open
// connection read the pages again.
void damagePagesInUse(const std::filesystem::path& file, char fill);

// How many "<name>.unreadable-<time>" files lie beside `file`.
int movedAside(const std::filesystem::path& file);

}  // namespace testsupport
