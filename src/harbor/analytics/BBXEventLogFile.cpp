#include "harbor/analytics/BBXEventLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "harbor/HBRDebug.h"
#include "platform/diagnostics/Console.h"
#include "platform/storage/OwnFile.h"

namespace lumora {
namespace {

void eventLogFileDebugLog(const std::string& line) {
  if (HBRDebugEnabled()) platform::consoleLog("[Blackbox:Tally] BBXEventLogFile: " + line);
}

}  // namespace

BBXEventLogFile::BBXEventLogFile(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}

BBXEventLogFile::~BBXEventLogFile() { closeFileHandle(); }

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::open(const std::filesystem::path& fileURL) {
  return openAs<BBXEventLogFile>(fileURL);
}

std::unique_ptr<BBXEventLogFile> BBXEventLogFile::open(const std::string& name,
                                                       const std::filesystem::path& directoryURL) {
  return open(directoryURL / name);
}

bool BBXEventLogFile::prepare() {
  const std::string path = fileURL_.string();
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::symlink_status(fileURL_, ec))) {
    std::filesystem::remove_all(fileURL_, ec);
    if (ec) {
      eventLogFileDebugLog(fmt::format("Unable to delete blocking directory {} [error: {}]", path, ec.message()));
    }
  }
  if (!std::filesystem::exists(std::filesystem::symlink_status(fileURL_, ec))) {
    const int fd = platform::openOwnFile(path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) ::close(fd);
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    eventLogFileDebugLog(fmt::format("Unable to get attributes for item at path {} [error: {}]", path,
                                     std::generic_category().message(errno)));
    return false;
  }
  fileSize_ = static_cast<std::uint64_t>(info.st_size);
  // A log of our own only: a symbolic link or a pipe at its name is
  // refused (never appended to, emptied or waited on).
  if (auto status = openFileHandleForWriting(); !status) {
    eventLogFileDebugLog(fmt::format("Unable to get open file for writing at path {} [error: {}]", path,
                                     status.error().description()));
    return false;
  }
  return true;
}

platform::Status BBXEventLogFile::openHandle(int flags) {
  if (fd_ >= 0) return platform::posixError(EBUSY, "a handle of " + fileURL_.string() + " is already open");
  const int fd = platform::openOwnFile(fileURL_.c_str(), flags, 0600);
  if (fd < 0) return platform::posixError(errno, "open " + fileURL_.string());
  fd_ = fd;
  return {};
}

platform::Status BBXEventLogFile::openFileHandleForWriting() {
  if (auto status = openHandle(O_WRONLY); !status) return status;
  if (::lseek(fd_, 0, SEEK_END) < 0) {
    const int code = errno;
    closeFileHandle();
    return platform::posixError(code, "seek " + fileURL_.string());
  }
  return {};
}

platform::Status BBXEventLogFile::openFileHandleForReading() { return openHandle(O_RDONLY); }

void BBXEventLogFile::closeFileHandle() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

platform::Status BBXEventLogFile::appendData(const platform::Bytes& data) {
  if (fd_ < 0) return platform::posixError(EBADF, "no handle of " + fileURL_.string() + " is open");
  const off_t start = ::lseek(fd_, 0, SEEK_END);
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + written, data.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int code = (n < 0) ? errno : EIO;
    // A record cut short would make every later record unreadable: take it
    // back when the file lets us, and count only what stays.
    if (written > 0 && !(start >= 0 && ::ftruncate(fd_, start) == 0)) fileSize_ += written;
    if (start >= 0) ::lseek(fd_, 0, SEEK_END);
    return platform::posixError(code, "append to " + fileURL_.string());
  }
  fileSize_ += written;
  return {};
}

platform::Status BBXEventLogFile::resetFile() {
  if (fd_ < 0) return platform::posixError(EBADF, "no handle of " + fileURL_.string() + " is open");
  if (::ftruncate(fd_, 0) != 0) return platform::posixError(errno, "truncate " + fileURL_.string());
  ::lseek(fd_, 0, SEEK_SET);
  fileSize_ = 0;
  return {};
}

platform::Result<platform::Bytes> BBXEventLogFile::readFromFile() {
  closeFileHandle();
  platform::Status readStatus = openFileHandleForReading();
  platform::Bytes contents;
  if (readStatus) {
    std::uint8_t buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        contents.insert(contents.end(), buffer, buffer + n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        readStatus = platform::posixError(errno, "read " + fileURL_.string());
        break;
      }
    }
    closeFileHandle();
  }
  platform::Status reopen = openFileHandleForWriting();
  if (!readStatus) {
    if (!reopen) {
      eventLogFileDebugLog(fmt::format("Unable to reopen file for writing at path {} [error: {}]",
                                       fileURL_.string(), reopen.error().description()));
    }
    return readStatus.error();
  }
  if (!reopen) return reopen.error();
  return contents;
}

}  // namespace lumora
