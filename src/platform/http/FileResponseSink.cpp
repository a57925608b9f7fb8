#include "platform/http/FileResponseSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/storage/OwnFile.h"

namespace platform::http {

FileResponseSink::FileResponseSink(std::filesystem::path path) : path_(std::move(path)) {}

FileResponseSink::~FileResponseSink() { close(); }

void FileResponseSink::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status FileResponseSink::failure(const char* what, int err) const {
  return Error(kPOSIXErrorDomain, err,
               {{Error::kLocalizedDescriptionKey, std::string(what) + " " + path_.string() + ": " +
                                                      std::strerror(err)}});
}

Status FileResponseSink::begin(const Response&) {
  close();
  written_ = 0;
  fd_ = openOwnFile(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd_ < 0) return failure("cannot create", errno);
  return Status::success();
}

Status FileResponseSink::write(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return failure("not open:", EBADF);
  while (size > 0) {
    ssize_t wrote = ::write(fd_, data, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      close();
      return failure("cannot write", err);
    }
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
    written_ += static_cast<std::uint64_t>(wrote);
  }
  return Status::success();
}

Status FileResponseSink::finish() {
  if (fd_ < 0) return failure("not open:", EBADF);
  int result = ::close(fd_);
  fd_ = -1;
  if (result != 0) return failure("cannot close", errno);
  return Status::success();
}

}  // namespace platform::http
