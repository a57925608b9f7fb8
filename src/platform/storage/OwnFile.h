// Reading a file the program keeps for itself (a record, a mark, a settings
// file) so that nothing else is read in its place: the file is opened
// without following a link and without blocking, and only a regular file
// with one link is taken (a symbolic link, a hard link to another file, a
// pipe, a device or a folder at its name is refused, never read), and no
// more than a bound of it. A pipe in its place never holds the caller.
//
// Threading: any thread; nothing is kept. Failure: nullopt, with the reason
// told through `problem`; errno tells the failed call for Unreadable and
// Refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// Why a file of the program's own was not read.
enum class OwnFileProblem {
  None,
  Missing,
  // A link of either kind, a pipe, a device, a folder.
  NotRegular,
  TooLarge,
  // An open, stat or read that failed for a reason that may pass (see
  // ownFileFailureMayPass); errno tells it.
  Unreadable,
  // One that failed for a reason that stays (no permission, say); errno
  // tells it.
  Refused,
};

// Whether a failed open or read (its errno) may pass by itself: too many
// open files (the process's or the system's), a file another holds for now
// (it would block), an interrupted call, no memory, an I/O error. No
// permission, and any failure not known to pass, stays.
bool ownFileFailureMayPass(int code);

// The whole of the file at `path` when it is one of the program's own (see
// above) and holds at most `limit` bytes; `problem` (optional) says why
// nothing came back.
std::optional<std::string> readOwnFile(const std::filesystem::path& path, std::uint64_t limit,
                                       OwnFileProblem* problem = nullptr);

}  // namespace platform
