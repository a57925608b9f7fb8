#include "platform/http/FileBodySource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/storage/OwnFile.h"

namespace platform::http {
namespace {

// The descriptor the sources share; closed with the last of them.
struct OwnDescriptor {
  explicit OwnDescriptor(int descriptor) : fd(descriptor) {}
  ~OwnDescriptor() { close(fd); }
  OwnDescriptor(const OwnDescriptor&) = delete;
  OwnDescriptor& operator=(const OwnDescriptor&) = delete;
  int fd;
};

// One reading from the start, at offsets of its own, so that sends of
// copies of the request never move each other's place.
class FileBodyStream final : public BodyStream {
 public:
  explicit FileBodyStream(std::shared_ptr<const OwnDescriptor> file) : file_(std::move(file)) {}

  Result<std::size_t> read(std::uint8_t* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = pread(file_->fd, buffer, size, offset_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return Error("NSPOSIXErrorDomain", errno);
      offset_ += got;
      return static_cast<std::size_t>(got);
    }
  }

 private:
  std::shared_ptr<const OwnDescriptor> file_;
  off_t offset_ = 0;
};

}  // namespace

std::optional<BodySource> fileBodySource(const std::filesystem::path& file) {
  const int fd = openOwnFile(file.c_str(), O_RDONLY, 0);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int failure = errno;
    close(fd);
    errno = failure;
    return std::nullopt;
  }
  auto descriptor = std::make_shared<const OwnDescriptor>(fd);
  BodySource source;
  source.length = static_cast<std::uint64_t>(info.st_size);
  source.open = [descriptor]() -> std::unique_ptr<BodyStream> { return std::make_unique<FileBodyStream>(descriptor); };
  return source;
}

}  // namespace platform::http
