#include "support/PlantedFiles.h"
#include "support/Sanitizers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

namespace testsupport {

const char* plantedName(Planted kind) {
  switch (kind) {
    case Planted::Pipe: return "a pipe";
    case Planted::HardLink: return "a hard link";
    case Planted::SymbolicLink: return "a symbolic link";
    case Planted::Folder: return "a folder";
  }
  return "?";
}

bool plant(Planted kind, const std::filesystem::path& at, const std::filesystem::path& userFile) {
  std::error_code error;
  switch (kind) {
    case Planted::Pipe: return mkfifo(at.c_str(), 0600) == 0;
    case Planted::HardLink: std::filesystem::create_hard_link(userFile, at, error); break;
    case Planted::SymbolicLink: std::filesystem::create_symlink(userFile, at, error); break;
    case Planted::Folder: std::filesystem::create_directory(at, error); break;
  }
  return !error;
}

bool endsWithoutWaitingOn(const std::filesystem::path& pipe, const std::function<void()>& work) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(testsupport::scaled(std::chrono::seconds(10))) == std::future_status::ready) {
    done.get();
    return true;
  }
  // A reader waiting for a writer: one comes and goes, the reader sees the
  // end. A writer waiting for a reader: one stays and drains the pipe until
  // the work is over.
  const int writer = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (writer >= 0) close(writer);
  const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  char drained[4096];
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    while (reader >= 0 && read(reader, drained, sizeof drained) > 0) {
    }
  }
  if (reader >= 0) close(reader);
  done.get();
  return false;
}

}  // namespace testsupport
