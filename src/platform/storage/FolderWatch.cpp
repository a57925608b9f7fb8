#include "platform/storage/FolderWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

struct FolderWatch::Loop {
  int inotify = -1;
  int wake = -1;
  Options options;
  std::function<void()> changed;
  std::uint32_t mask = 0;
  std::map<int, fs::path> folders;  // by watch descriptor

  ~Loop() {
    if (inotify >= 0) ::close(inotify);
    if (wake >= 0) ::close(wake);
  }

  // Watches `folder` (and, with subfolders, those below it); false when
  // the folder itself cannot be watched.
  bool add(const fs::path& folder) {
    if (options.skip && options.skip(folder)) return true;
    const std::uint32_t follow = options.followLinks ? 0 : IN_DONT_FOLLOW;
    const int wd = ::inotify_add_watch(inotify, folder.c_str(), mask | IN_ONLYDIR | follow);
    if (wd < 0) return false;
    // The kernel answers a folder watched already (reached again through a
    // link) with its first watch: it is not walked again.
    if (!folders.emplace(wd, folder).second) return true;
    if (!options.subfolders) return true;
    std::error_code ec;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code kind;
      if (it->is_directory(kind) && (options.followLinks || !it->is_symlink(kind))) add(it->path());
    }
    return true;
  }

  void run() {
    for (;;) {
      pollfd fds[2] = {{inotify, POLLIN, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) && readBurst() && changed) changed();
    }
  }

  // Reads one burst of events; whether any of them is a change.
  bool readBurst() {
    alignas(inotify_event) char buffer[16384];
    const ssize_t got = ::read(inotify, buffer, sizeof buffer);
    if (got <= 0) return false;
    bool change = false;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        change = true;  // events were lost: something changed
        continue;
      }
      if (event->mask & IN_IGNORED) {
        folders.erase(event->wd);
        continue;
      }
      const bool folder = (event->mask & IN_ISDIR) != 0;
      const auto parent = folders.find(event->wd);
      const bool arrived = (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 && event->len > 0 && parent != folders.end();
      const fs::path path = arrived ? parent->second / event->name : fs::path();
      // A link made is never written and closed.
      std::error_code ec;
      const bool link = arrived && !folder && options.followLinks && fs::is_symlink(fs::symlink_status(path, ec));
      // A new file counts once it is written and closed; a new folder (made,
      // or moved in whole) or link is watched and counts at once.
      if ((event->mask & IN_CREATE) && !folder && !link && !options.everyWrite) continue;
      if ((folder || link) && arrived && options.subfolders) add(path);
      change = true;
    }
    return change;
  }
};

std::unique_ptr<FolderWatch> FolderWatch::start(const fs::path& folder, Options options,
                                                std::function<void()> changed) {
  auto loop = std::make_shared<Loop>();
  loop->inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  loop->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (loop->inotify < 0 || loop->wake < 0) return nullptr;
  loop->mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
               IN_MOVE_SELF | (options.everyWrite ? IN_MODIFY : 0u);
  loop->options = std::move(options);
  loop->changed = std::move(changed);
  if (!loop->add(folder)) return nullptr;
  return std::unique_ptr<FolderWatch>(new FolderWatch(std::move(loop)));
}

FolderWatch::FolderWatch(std::shared_ptr<Loop> loop)
    : loop_(std::move(loop)), thread_([loop = loop_] { loop->run(); }) {}

FolderWatch::~FolderWatch() {
  const std::uint64_t one = 1;
  (void)::write(loop_->wake, &one, sizeof one);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace platform
