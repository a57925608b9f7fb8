// Reading and writing a file the program keeps for itself (a record, a
// mark, a log, a settings file, a download) so that nothing else is read or
// written in its place: the file is opened without following a link and
// without blocking, and only a regular file is taken (a symbolic link, a
// pipe, a device or a folder at its name is refused, never read, written,
// emptied or appended to). A pipe in its place never holds the caller.
//
// A file with another name as well (a copy of the app home made with hard
// links, a tool that merges equal files) is the program's own bytes: it is
// read as it is. It is never written through: a write goes into a new file
// that takes this name alone, and the other name keeps its bytes.
//
// Threading: any thread; nothing is kept. Failure: readOwnFile gives
// nullopt, with the reason told through `problem`; errno tells the failed
// call for Unreadable and Refused. openOwnFile gives -1 with errno.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Bytes.h"
#include "platform/Result.h"

namespace platform {

// Why a file of the program's own was not read.
enum class OwnFileProblem {
  None,
  Missing,
  // A symbolic link, a pipe, a device, a folder.
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

// A descriptor of the file of the program's own at `path`, opened as
// open(2) opens it with `flags` (O_WRONLY, O_RDWR or O_RDONLY, O_CREAT,
// O_TRUNC, O_APPEND...) and `mode`, but never through a link and never held
// by a pipe; anything at the name that is not a regular file is left as it
// lies and refused: errno ELOOP for a symbolic link, EISDIR for a folder,
// EINVAL for a pipe, a device or a socket (a pipe with no reader fails the
// open itself, ENXIO). O_TRUNC empties only a file so taken.
//
// Opened for writing, a file that has another name is first replaced at
// `path` by a new file of this name alone, with its mode and (unless
// O_TRUNC) its bytes, made under a leftover's name beside it (".NAME." and
// six characters, which the app home clears) and renamed over it; the
// descriptor is the new file's, at its start, and the other name keeps its
// bytes. A failure to make it fails the open (errno as the failed call's;
// EAGAIN when the name changed meanwhile). Opened for reading, such a file
// is read as it is. The descriptor is closed on exec and blocks as an
// ordinary one does (unless `flags` ask O_NONBLOCK).
//
// Async-signal-safe (system calls only, nothing allocated): fit for a
// crash handler. -1 with errno on failure.
int openOwnFile(const char* path, int flags, mode_t mode);

// A descriptor that reads, without blocking, the very file that `info`
// (its status) found at `path`: -1 with errno, EAGAIN when another lies
// there now. Async-signal-safe.
int openToRead(const char* path, const struct stat& info);

// Makes beside `path` a new file under a leftover's name (as above) that
// holds the bytes of the readable descriptor `source` from its start (none
// when `source` is -1) and has the permission bits of `mode`; puts its name
// at `temporary` (PATH_MAX bytes) and gives its descriptor, opened with the
// access mode (and O_APPEND, O_DSYNC, O_SYNC) of `flags`, at its start and
// without blocking. Renaming it over `path` is the caller's. -1 with errno
// on failure, and nothing is left. Async-signal-safe.
int makeCopyBeside(const char* path, int source, mode_t mode, int flags, char* temporary);

// Makes the new file `path` (nothing may lie at the name; a link is not
// followed) holding the bytes of the readable descriptor `source` from its
// start, with the permission bits of `mode`. False with errno on failure,
// and nothing is left.
bool makeCopyAt(const char* path, int source, mode_t mode);

// Whether a failed openOwnFile (its errno) found something at the name that
// is no file of the program's own, which no later try would take either.
bool notOwnFile(int code);

// Writes all `size` bytes at `data` to `fd`, going on after an interrupted
// or short write; false with errno when a write failed. Async-signal-safe.
bool writeWhole(int fd, const void* data, std::size_t size);

// Makes or empties the file of the program's own at `path` (as
// openOwnFile, with `mode` for a new one) and writes `bytes` into it. The
// POSIX error of the refused open or the failed write otherwise (the file
// may then hold part of the bytes).
Status writeOwnFile(const std::filesystem::path& path, const Bytes& bytes, mode_t mode);

}  // namespace platform
