#include "platform/photos/AssetExportSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/dispatch/SerialQueue.h"
#include "platform/photos/AssetFile.h"
#include "platform/photos/Types.h"

namespace platform::photos {
namespace {

constexpr std::size_t kStep = 8 * 1024 * 1024;

SerialQueue& exportQueue() {
  static auto* queue = new SerialQueue("platform.photos.export");
  return *queue;
}

Error exportError(std::int64_t code, const std::string& message) {
  return Error(kPhotosErrorDomain, code, Json{{Error::kLocalizedDescriptionKey, message}});
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; false when the close reports a failed write.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Moves `length` bytes from `in` to `out` at their current offsets, in the
// kernel where it can, else through a small buffer.
bool copyStep(int in, int out, std::size_t length) {
  while (length > 0) {
    ssize_t moved = ::copy_file_range(in, nullptr, out, nullptr, length, 0);
    if (moved < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      char buffer[64 * 1024];
      moved = ::read(in, buffer, std::min(length, sizeof buffer));
      if (moved > 0 && ::write(out, buffer, static_cast<std::size_t>(moved)) != moved) return false;
    }
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return false;
    length -= static_cast<std::size_t>(moved);
  }
  return true;
}

}  // namespace

AssetExportSession::AssetExportSession(AssetSourceKind kind, std::filesystem::path source, std::string presetName)
    : kind_(kind), source_(std::move(source)), preset_(std::move(presetName)) {}

std::vector<std::string> AssetExportSession::supportedFileTypes() const {
  return {kFileTypeQuickTimeMovie, kFileTypeMPEG4, kFileTypeAppleM4V, kFileType3GPP, kFileType3GPP2};
}

void AssetExportSession::setOutputURL(std::filesystem::path url) {
  std::lock_guard<std::mutex> guard(mutex_);
  output_ = std::move(url);
}

void AssetExportSession::setOutputFileType(std::string type) {
  std::lock_guard<std::mutex> guard(mutex_);
  outputType_ = std::move(type);
}

std::optional<Error> AssetExportSession::error() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return error_;
}

void AssetExportSession::exportAsynchronously(std::function<void()> completion) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    completion_ = std::move(completion);
  }
  ExportStatus expected = ExportStatus::Unknown;
  if (!status_.compare_exchange_strong(expected, ExportStatus::Waiting)) return;  // started before
  exportQueue().async([self = shared_from_this()] { self->run(); });
}

void AssetExportSession::cancelExport() { cancelled_.store(true); }

void AssetExportSession::finish(ExportStatus status, std::optional<Error> error) {
  std::function<void()> completion;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    error_ = std::move(error);
    completion = std::move(completion_);
  }
  if (status == ExportStatus::Completed) progress_.store(1);
  status_.store(status);
  if (completion) completion();
}

void AssetExportSession::run() {
  std::filesystem::path output;
  std::string type;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    output = output_;
    type = outputType_;
  }
  if (cancelled_.load()) return finish(ExportStatus::Cancelled, std::nullopt);
  const auto supported = supportedFileTypes();
  if (output.empty() || std::find(supported.begin(), supported.end(), type) == supported.end()) {
    return finish(ExportStatus::Failed,
                  exportError(kPhotosErrorInvalidResource, "No output file or an unsupported file type."));
  }
  status_.store(ExportStatus::Exporting);

  struct stat info {};
  auto opened = openAssetFile(source_, &info);
  if (!opened) {
    return finish(ExportStatus::Failed, assetFileReadError(static_cast<int>(opened.error().code()), source_));
  }
  FileDescriptor in(*opened);
  // An existing file is never written over.
  FileDescriptor out(::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.get() < 0) {
    return finish(ExportStatus::Failed, exportError(kPhotosErrorFileSystem, std::string("Cannot save: ") +
                                                                                std::strerror(errno)));
  }
  const auto total = static_cast<std::size_t>(info.st_size);
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < total && !cancelled_.load()) {
    const std::size_t step = std::min(kStep, total - done);
    ok = copyStep(in.get(), out.get(), step);
    done += step;
    progress_.store(static_cast<float>(static_cast<double>(done) / static_cast<double>(total)));
  }
  const int writeError = errno;
  ok = out.close() && ok;
  // Cut short, grown or written while it was copied: the copy is of no one
  // state of the movie.
  const bool changed = !cancelled_.load() && assetFileChangedSince(in.get(), info);
  if (cancelled_.load() || !ok || changed) {
    std::error_code ec;
    std::filesystem::remove(output, ec);
    if (cancelled_.load()) return finish(ExportStatus::Cancelled, std::nullopt);
    if (changed) return finish(ExportStatus::Failed, assetFileChangedError(source_));
    return finish(ExportStatus::Failed, exportError(kPhotosErrorFileSystem, std::string("Export failed: ") +
                                                                               std::strerror(writeError)));
  }
  finish(ExportStatus::Completed, std::nullopt);
}

}  // namespace platform::photos
