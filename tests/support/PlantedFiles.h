// What someone else may leave at the name of a file the app keeps for
// itself: a pipe, a hard link or a symbolic link to a file of the user's, a
// folder. A test plants one, has the app write there, and checks that the
// app neither waited on it nor changed what it leads to.
#pragma once

#include <filesystem>
#include <functional>

namespace testsupport {

enum class Planted { Pipe, HardLink, SymbolicLink, Folder };

// The kind's name, for a failure's message.
const char* plantedName(Planted kind);

// Puts `kind` at `at`; the links lead to `userFile` (which a hard link needs).
// False when it could not be made.
bool plant(Planted kind, const std::filesystem::path& at, const std::filesystem::path& userFile);

// Runs `work` on a thread of its own; true when it ended within a bound
// (ten seconds). Work that waits on the pipe at `pipe` past the bound is let
// go through the pipe's other end (a writer that comes and goes, a reader
// that takes all that is written), so that such a wait fails the test
// instead of holding it for good.
bool endsWithoutWaitingOn(const std::filesystem::path& pipe, const std::function<void()>& work);

}  // namespace testsupport
