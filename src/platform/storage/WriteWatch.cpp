#include "platform/storage/WriteWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

namespace platform {

WriteWatch::WriteWatch() : notices_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

WriteWatch::~WriteWatch() {
  if (notices_ >= 0) ::close(notices_);
}

void WriteWatch::watch(const std::filesystem::path& path) {
  Watched file;
  file.path = path;
  if (::lstat(path.c_str(), &file.info) != 0) file.info = {};
  file.descriptor = notices_ >= 0 ? inotify_add_watch(notices_, path.c_str(), IN_MODIFY | IN_DONT_FOLLOW) : -1;
  watched_.push_back(std::move(file));
}

bool WriteWatch::written() {
  bool written = false;
  if (notices_ >= 0) {
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(notices_, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if ((event->mask & (IN_MODIFY | IN_Q_OVERFLOW)) != 0) written = true;
        at += sizeof(inotify_event) + event->len;
      }
    }
  }
  for (const Watched& file : watched_) {
    if (file.descriptor >= 0) inotify_rm_watch(notices_, file.descriptor);
    // Without notices (none to have), or besides them: what the file's
    // status tells.
    struct stat now {};
    if (::lstat(file.path.c_str(), &now) != 0 || now.st_ino != file.info.st_ino ||
        now.st_size != file.info.st_size || now.st_mtim.tv_sec != file.info.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != file.info.st_mtim.tv_nsec) {
      written = true;
    }
  }
  watched_.clear();
  // The notices of the watches' end go with them.
  if (notices_ >= 0) {
    alignas(inotify_event) char events[4096];
    while (::read(notices_, events, sizeof events) > 0) {
    }
  }
  return written;
}

}  // namespace platform
