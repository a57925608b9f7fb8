#include "platform/storage/OwnFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

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
  // A pipe would hold the open (and a write) for as long as nobody reads:
  // the open never waits, and anything but a regular file goes back.
  const int fd = open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) return -1;
  struct stat info {};
  int failure = 0;
  if (fstat(fd, &info) != 0) {
    failure = errno;
  } else if (S_ISDIR(info.st_mode)) {
    failure = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    failure = EINVAL;
  } else if (info.st_nlink > 1) {
    // A second name for the file is another's: emptying it or writing into
    // it would change what lies there.
    failure = EMLINK;
  } else if (info.st_nlink == 0) {
    // Gone from its folder meanwhile: what is written would be lost.
    failure = ENOENT;
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

bool notOwnFile(int code) {
  return code == ELOOP || code == EMLINK || code == EISDIR || code == EINVAL || code == ENXIO;
}

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
