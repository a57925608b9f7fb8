#include "platform/FileOutputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

Result<std::shared_ptr<FileOutputStream>> FileOutputStream::open(const std::string& path) {
  // A new file under the name: a file or a link there goes first (its name
  // only), so nothing is written through a link or into the bytes that
  // another name of a file holds.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return posixError(errno, "open " + path);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return posixError(errno, "open " + path);
  return std::shared_ptr<FileOutputStream>(new FileOutputStream(fd));
}

FileOutputStream::~FileOutputStream() { close(); }

Status FileOutputStream::write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    if (fd_ < 0) {
      failed_ = true;
      return posixError(EBADF, "write");
    }
    ssize_t written = ::write(fd_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int code = written < 0 ? errno : EIO;
      failed_ = true;
      close();
      return posixError(code, "write");
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return Status::success();
}

void FileOutputStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
