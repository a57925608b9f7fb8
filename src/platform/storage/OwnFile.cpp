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
  const auto failedFor = [](int code) {
    return ownFileFailureMayPass(code) ? OwnFileProblem::Unreadable : OwnFileProblem::Refused;
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = errno == ENOENT ? OwnFileProblem::Missing : errno == ELOOP ? OwnFileProblem::NotRegular : failedFor(errno);
    return std::nullopt;
  }
  struct stat info {};
  std::optional<std::string> contents;
  int failure = 0;
  if (fstat(fd, &info) != 0) {
    failure = errno;
    why = failedFor(failure);
  } else if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
    // A second name for the file is another's way in: what it holds may be
    // someone else's.
    why = OwnFileProblem::NotRegular;
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

}  // namespace platform
