// An output stream into a new file, which opening makes in place of
// whatever file or link lies at the name (that name goes, never what a link
// leads to or another name of the file holds; a folder there fails the
// open). It never appends.
//
// Ownership: owns its descriptor, closed by close() or destruction.
// Threading: one writer at a time. Failure: open() answers the POSIX error;
// a write that fails or that no file is open for fails with the POSIX error
// (EBADF without a file), and the stream is spent.
#pragma once

#include <memory>
#include <string>

#include "platform/OutputStream.h"
#include "platform/Result.h"

namespace platform {

class FileOutputStream final : public OutputStream {
 public:
  static Result<std::shared_ptr<FileOutputStream>> open(const std::string& path);
  ~FileOutputStream() override;
  FileOutputStream(const FileOutputStream&) = delete;
  FileOutputStream& operator=(const FileOutputStream&) = delete;

  Status write(const std::uint8_t* data, std::size_t size) override;
  void close() override;
  // A write has failed: the file does not hold all that was given.
  bool failed() const { return failed_; }

 private:
  explicit FileOutputStream(int fd) : fd_(fd) {}
  int fd_ = -1;
  bool failed_ = false;
};

}  // namespace platform
