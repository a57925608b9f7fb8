// An append-only analytics log file with a byte counter. Opening makes way
// for the file (a directory standing at its path is removed), creates it
// empty when missing, and holds it open for writing at its end; fileSize
// starts at the file's size and grows by what each append wrote. Only a
// regular file is ever opened (see platform::openOwnFile): a symbolic link,
// a pipe or a device at the path fails the opening, and a file with a
// second name is replaced by one of this name alone, holding its bytes.
//
// Ownership: the object owns its one file descriptor (at most one handle is
// open, for writing or for reading) and closes it when destroyed.
// Threading: not locked; one queue at a time (the analytics controller
// keeps each file on the queue of its priority).
// Failure: open() answers null (logged while the platform's debug switch
// is on); the other operations answer errors. An append that fails or
// writes short takes back what it wrote, so no partial record stays in the
// file, and fileSize counts only bytes that remain.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Bytes.h"
#include "platform/Result.h"

namespace lumora {

class BBXEventLogFile {
 public:
  static std::unique_ptr<BBXEventLogFile> open(const std::filesystem::path& fileURL);
  static std::unique_ptr<BBXEventLogFile> open(const std::string& name, const std::filesystem::path& directoryURL);

  virtual ~BBXEventLogFile();
  BBXEventLogFile(const BBXEventLogFile&) = delete;
  BBXEventLogFile& operator=(const BBXEventLogFile&) = delete;

  // Each needs no handle to be open; writing seeks to the end.
  platform::Status openFileHandleForWriting();
  platform::Status openFileHandleForReading();
  void closeFileHandle();

  // Needs the writing handle.
  platform::Status appendData(const platform::Bytes& data);
  platform::Status resetFile();
  // The whole file; the object is open for writing again afterwards.
  platform::Result<platform::Bytes> readFromFile();

  const std::filesystem::path& fileURL() const { return fileURL_; }
  std::uint64_t fileSize() const { return fileSize_; }

 protected:
  explicit BBXEventLogFile(std::filesystem::path fileURL);
  // The opening steps; false when the object is unusable.
  bool prepare();

  template <class File>
  static std::unique_ptr<File> openAs(const std::filesystem::path& fileURL) {
    std::unique_ptr<File> file(new File(fileURL));
    if (!file->prepare()) return nullptr;
    return file;
  }

 private:
  platform::Status openHandle(int flags);

  std::filesystem::path fileURL_;
  std::uint64_t fileSize_ = 0;
  int fd_ = -1;
};

}  // namespace lumora
