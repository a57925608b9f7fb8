// A phone's record store put back into a form it had before adds in flight
// kept the mark of their address book, for the tests of a phone upgraded on
// such a store: its adds in flight are those of that time, in the table of
// that time.
#pragma once

#include <filesystem>

namespace testsupport {

enum class PendingAddsForm {
  BeforeMarks,  // record id and content only
  BeforeBooks,  // record id, content and the add's mark
};

// Rewrites the adds in flight of the record store `databaseFile` (no store
// open on it) into that form; false when it cannot.
bool putPendingAddsBeforeBooks(const std::filesystem::path& databaseFile, PendingAddsForm form);

}  // namespace testsupport
