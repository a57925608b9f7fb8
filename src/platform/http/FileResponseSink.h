// A ResponseSink that writes the reply body to one file: begin() creates or
// empties it as a file of the program's own (platform::openOwnFile: a
// symbolic link or a pipe at its name fails the send, another name of the
// file keeps its bytes), write() appends, finish() closes it. A body that failed part
// way stays in the file as far as it came; the caller removes or keeps it.
//
// Ownership: shared with the request that carries it. Threading: used by
// the sending thread, one send at a time. Failures: a file that cannot be
// created or written fails the send with the error in the POSIX domain.
#pragma once

#include <filesystem>

#include "platform/http/Request.h"

namespace platform::http {

class FileResponseSink final : public ResponseSink {
 public:
  explicit FileResponseSink(std::filesystem::path path);
  ~FileResponseSink() override;
  FileResponseSink(const FileResponseSink&) = delete;
  FileResponseSink& operator=(const FileResponseSink&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Bytes written by the latest send.
  std::uint64_t bytesWritten() const { return written_; }

  Status begin(const Response& response) override;
  Status write(const std::uint8_t* data, std::size_t size) override;
  Status finish() override;

 private:
  Status failure(const char* what, int err) const;
  void close();

  const std::filesystem::path path_;
  int fd_ = -1;
  std::uint64_t written_ = 0;
};

}  // namespace platform::http
