// A write lease on a file for the life of the value, taken by the calling
// thread: while it holds, an open of the file that does not block (as
// report files are read) fails with "would block", as when another holds
// the file for a moment. A held lease stays through every such open (its
// break signal ignored); one that lets go when broken ends at the first
// refused open, on that thread, before the open returns: only that open
// fails. The file must be the process's own and opened by nobody else.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>

namespace testsupport {

class FileLease {
 public:
  enum class Kind { Held, LetGoWhenBroken };

  FileLease(const std::filesystem::path& path, Kind kind) {
    struct sigaction action {};
    if (kind == Kind::Held) {
      action.sa_handler = SIG_IGN;
    } else {
      action.sa_handler = [](int) { fcntl(leaseFd().load(), F_SETLEASE, F_UNLCK); };
    }
    sigaction(SIGIO, &action, &previous_);
    fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    leaseFd().store(fd_);
    const f_owner_ex owner{F_OWNER_TID, static_cast<pid_t>(syscall(SYS_gettid))};
    held_ = fcntl(fd_, F_SETOWN_EX, &owner) == 0 && fcntl(fd_, F_SETLEASE, F_WRLCK) == 0;
  }
  ~FileLease() {
    if (fd_ >= 0) {
      fcntl(fd_, F_SETLEASE, F_UNLCK);
      close(fd_);
    }
    leaseFd().store(-1);
    sigaction(SIGIO, &previous_, nullptr);
  }
  FileLease(const FileLease&) = delete;
  FileLease& operator=(const FileLease&) = delete;

  // Whether the lease was taken.
  bool held() const { return held_; }

 private:
  static std::atomic<int>& leaseFd() {
    static std::atomic<int> fd{-1};
    return fd;
  }

  int fd_ = -1;
  bool held_ = false;
  struct sigaction previous_ {};
};

}  // namespace testsupport
