// A SQLite store whose every commit keeps `total` the sum of its rows'
// counts and counts itself in `commits`: what a test reads of it tells
// whether it holds a state committed to it, and which one.
#pragma once

#include <filesystem>
#include <string>

struct sqlite3;

namespace testsupport {

// Makes the store at `file` (and its folder) with `rows` rows of a
// kilobyte, keeping the journal `journal` ("WAL", "DELETE"); false when it
// could not be made.
bool makeCountingStore(const std::filesystem::path& file, const char* journal, int rows);

// What the store of `rows` rows at `file` holds, opened as an app opens it:
// "ok <commits>" for a state committed to it, else what is wrong.
std::string countingStoreState(const std::filesystem::path& file, int rows);

// Commits on `db` a count up of the last row and of one more, a row
// further on at each commit (so that no two commits write the same pages);
// false when it failed.
bool commitCount(sqlite3* db, int rows);

// Counts up the first `rows` rows in a transaction left open, its pages
// written out (to the store's file, or its log) before any commit; false
// when it failed.
bool holdCount(sqlite3* db, int rows);

// Commits the transaction held.
bool commitHeld(sqlite3* db);

}  // namespace testsupport
