#include "platform/WatchedOutput.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

WatchedOutput::WatchedOutput(int fd) : fd_(fd), terminal_(isatty(fd) != 0) {
  // Written through to the descriptor; closing the stream leaves it open.
  cookie_io_functions_t functions{};
  functions.write = &WatchedOutput::write;
  stream_ = fopencookie(this, "w", functions);
  owned_ = stream_ != nullptr;
  if (!owned_) {
    stream_ = stdout;
    return;
  }
  std::setvbuf(stream_, nullptr, terminal_ ? _IOLBF : _IOFBF, BUFSIZ);
}

WatchedOutput::~WatchedOutput() {
  if (owned_) std::fclose(stream_);
}

ssize_t WatchedOutput::write(void* cookie, const char* data, std::size_t size) {
  auto* output = static_cast<WatchedOutput*>(cookie);
  if (output->failure_.load() != 0) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = ::write(output->fd_, data + written, size - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      // A write that takes nothing without an error would be tried forever.
      output->failure_.store(count < 0 ? errno : EIO);
      break;
    }
  }
  // Fewer bytes than asked marks the stream failed (ferror).
  return static_cast<ssize_t>(written);
}

int WatchedOutput::finish() {
  std::fflush(stream_);
  return failure_.load();
}

}  // namespace platform
