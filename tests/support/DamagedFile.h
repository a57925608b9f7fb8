// Damage done to a SQLite store's file the way a failing disk does it: a page
// of the file overwritten, at rest or while a connection has the file open.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Overwrites the second page of the file (bytes 4096 to 8191; every page
// after the first with `wholeRest`) with `fill`, the header left as it is.
// What a write-ahead log holds is written into the file first.
void damagePages(const std::filesystem::path& file, char fill, bool wholeRest = false);

// The same to every page after the first while the app holds the file open;
// afterwards another connection's change to the header makes every open
// connection read the pages again.
void damagePagesInUse(const std::filesystem::path& file, char fill);

// Overwrites with `fill` the page that holds the first `marker` bytes of the
// file (after the write-ahead log went in); false when none does. With
// `inUse`, connections open on the file read it again afterwards.
bool damagePageHolding(const std::filesystem::path& file, const std::string& marker, char fill,
                       bool inUse = false);

// Overwrites with `fill` the root page of `table` (after the write-ahead log
// went in): every read of the table fails, the other tables stay whole.
// False when the table has no such page in the file.
bool damageTable(const std::filesystem::path& file, const std::string& table, char fill);

// How many "<name>.unreadable-<time>" files lie beside `file`.
int movedAside(const std::filesystem::path& file);

}  // namespace testsupport
