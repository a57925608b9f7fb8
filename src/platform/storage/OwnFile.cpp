#include "platform/storage/OwnFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace platform {
namespace {

// Puts at `out` (PATH_MAX bytes) the name of a new file beside `path`:
// "." + its name + "." + six letters or digits, the name an atomic write's
// temporary has, which the app home clears when a process died before it
// was renamed. False (ENAMETOOLONG) when it would not fit.
bool temporaryNameBeside(const char* path, char* out) {
  static std::atomic<std::uint64_t> taken{0};
  static const char kCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const char* slash = strrchr(path, '/');
  const std::size_t folder = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
  const std::size_t name = strlen(path + folder);
  if (folder + 1 + name + 1 + 6 + 1 > PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(out, path, folder);
  out[folder] = '.';
  memcpy(out + folder + 1, path + folder, name);
  char* suffix = out + folder + 1 + name;
  *suffix++ = '.';
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t seed = (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                       (static_cast<std::uint64_t>(getpid()) << 40) ^
                       (taken.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  for (int i = 0; i < 6; ++i) {
    suffix[i] = kCharacters[seed % (sizeof kCharacters - 1)];
    seed /= sizeof kCharacters - 1;
  }
  suffix[6] = '\0';
  return true;
}

// Copies the whole of `from` into `to` from its start.
bool copyWhole(int from, int to) {
  char buffer[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(from, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!writeWhole(to, buffer, static_cast<std::size_t>(got))) return false;
    offset += got;
  }
}

// The file `opened` at `path` (its status `info`) has another name as
// well: a new file of one name takes its place at `path`, holding its bytes
// unless `empty`, so that what is written goes there and the other name
// keeps its bytes. The new file's descriptor, opened as `flags` ask (its
// offset at the start), or -1 with errno; the other name is never changed.
int replaceByOwnCopy(const char* path, int opened, const struct stat& info, int flags, bool empty) {
  int source = -1;
  if (!empty) {
    // The bytes are read through a descriptor that can read, of the very
    // file opened.
    if ((flags & O_ACCMODE) == O_RDWR) {
      source = opened;
    } else {
      source = openToRead(path, info);
      if (source < 0) return -1;
    }
  }
  char temporary[PATH_MAX];
  int fd = makeCopyBeside(path, source, info.st_mode & 0777, flags, temporary);
  int failure = errno;
  if (source >= 0 && source != opened) close(source);
  if (fd >= 0 && rename(temporary, path) != 0) {
    failure = errno;
    close(fd);
    unlink(temporary);
    fd = -1;
  }
  if (fd < 0) errno = failure;
  return fd;
}

}  // namespace

int openToRead(const char* path, const struct stat& info) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat again {};
  if (fstat(fd, &again) != 0 || again.st_dev != info.st_dev || again.st_ino != info.st_ino) {
    close(fd);
    // Replaced meanwhile: a later try finds what is there now.
    errno = EAGAIN;
    return -1;
  }
  return fd;
}

int makeCopyBeside(const char* path, int source, mode_t mode, int flags, char* temporary) {
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    if (!temporaryNameBeside(path, temporary)) return -1;
    fd = open(temporary,
              (flags & (O_ACCMODE | O_APPEND | O_DSYNC | O_SYNC)) | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK |
                  O_CLOEXEC | O_NOCTTY,
              0600);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) {
    errno = EEXIST;
    return -1;
  }
  if (fchmod(fd, mode & 0777) == 0 && (source < 0 || copyWhole(source, fd)) && lseek(fd, 0, SEEK_SET) == 0) {
    return fd;
  }
  const int failure = errno;
  close(fd);
  unlink(temporary);
  errno = failure;
  return -1;
}

bool makeCopyAt(const char* path, int source, mode_t mode) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return false;
  bool made = fchmod(fd, mode & 0777) == 0 && copyWhole(source, fd);
  int failure = errno;
  if (close(fd) != 0 && made) {
    made = false;
    failure = errno;
  }
  if (made) return true;
  unlink(path);
  errno = failure;
  return false;
}

bool ownFileFailureMayPass(int code) {
  switch (code) {
    case EMFILE:
    case ENFILE:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ENOMEM:
    case ENOBUFS:
    // A device that failed one read may well serve the next; a wait for it
    // is bounded by whoever asks.
    case EIO:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> readOwnFile(const std::filesystem::path& path, std::uint64_t limit,
                                       OwnFileProblem* problem) {
  OwnFileProblem ignored;
  OwnFileProblem& why = problem != nullptr ? *problem : ignored;
  why = OwnFileProblem::None;
  // No file is longer than a string can hold: a bound past it (no bound at
  // all) is that, and one byte past the bound is always a length.
  limit = std::min<std::uint64_t>(limit, std::string().max_size() - 1);
  const auto failedFor = [](int code) {
    return ownFileFailureMayPass(code) ? OwnFileProblem::Unreadable : OwnFileProblem::Refused;
  };
  const int fd = openOwnFile(path.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    why = errno == ENOENT ? OwnFileProblem::Missing : notOwnFile(errno) ? OwnFileProblem::NotRegular : failedFor(errno);
    return std::nullopt;
  }
  struct stat info {};
  std::optional<std::string> contents;
  int failure = 0;
  if (fstat(fd, &info) != 0) {
    failure = errno;
    why = failedFor(failure);
  } else if (static_cast<std::uint64_t>(info.st_size) > limit) {
    why = OwnFileProblem::TooLarge;
  } else {
    // The size may change while it is read: no more than the bound is taken
    // whatever it says.
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    for (;;) {
      if (filled == bytes.size()) {
        if (bytes.size() > limit) break;
        bytes.resize(std::min<std::uint64_t>(bytes.size() + 4096, limit + 1));
      }
      const ssize_t got = read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      // A failed read is no end of the file: what came before it is no
      // whole file.
      if (got < 0) {
        failure = errno;
        why = failedFor(failure);
      }
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    if (why == OwnFileProblem::None) {
      if (filled > limit) {
        why = OwnFileProblem::TooLarge;
      } else {
        contents = std::move(bytes);
      }
    }
  }
  close(fd);
  if (failure != 0) errno = failure;
  return contents;
}

int openOwnFile(const char* path, int flags, mode_t mode) {
  const bool truncate = (flags & O_TRUNC) != 0;
  const bool blocking = (flags & O_NONBLOCK) == 0;
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  // A pipe would hold the open (and a write) for as long as nobody reads:
  // the open never waits, and anything but a regular file goes back.
  int fd = open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) return -1;
  struct stat info {};
  int failure = 0;
  if (fstat(fd, &info) != 0) {
    failure = errno;
  } else if (S_ISDIR(info.st_mode)) {
    failure = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    failure = EINVAL;
  } else if (info.st_nlink == 0) {
    // Gone from its folder meanwhile: what is written would be lost.
    failure = ENOENT;
  } else if (writing && info.st_nlink > 1) {
    // The same bytes under another name as well (a copy made with hard
    // links): they are read as they are, but what is written goes into a
    // file of this name alone, the other name keeping its bytes.
    const int own = replaceByOwnCopy(path, fd, info, flags, truncate);
    if (own < 0) {
      failure = errno;
    } else {
      close(fd);
      fd = own;
    }
  } else if (truncate) {
    while (ftruncate(fd, 0) != 0) {
      if (errno != EINTR) {
        failure = errno;
        break;
      }
    }
  }
  if (failure == 0 && blocking) {
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) failure = errno;
  }
  if (failure == 0) return fd;
  close(fd);
  errno = failure;
  return -1;
}

bool notOwnFile(int code) { return code == ELOOP || code == EISDIR || code == EINVAL || code == ENXIO; }

bool writeWhole(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t wrote = write(fd, bytes, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;
      return false;
    }
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

Status writeOwnFile(const std::filesystem::path& path, const Bytes& bytes, mode_t mode) {
  const int fd = openOwnFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return posixError(errno, "Cannot open " + path.string());
  const bool written = writeWhole(fd, bytes.data(), bytes.size());
  const int failure = errno;
  if (close(fd) != 0 && written) return posixError(errno, "Cannot write " + path.string());
  if (!written) return posixError(failure, "Cannot write " + path.string());
  return Status::success();
}

}  // namespace platform
