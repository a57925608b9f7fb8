#include "platform/device/LinkWatch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/dispatch/Clock.h"

namespace platform {

struct LinkWatch::Loop {
  int socket = -1;
  int wake = -1;
  std::function<void()> changed;
  std::mutex mutex;
  std::condition_variable stop;
  bool stopping = false;  // guarded by mutex
  bool closed = false;    // the peer of a caller's socket went away

  ~Loop() {
    if (socket >= 0) ::close(socket);
    if (wake >= 0) ::close(wake);
  }

  void run() {
    for (;;) {
      pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (!drain()) {
        // Nothing to read from a socket that reports trouble: it is done.
        if (closed || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
        continue;
      }
      if (!settle()) return;
      drain();
      if (changed) changed();
      if (closed) return;
    }
  }

  // Reads every message waiting; whether there was one. Messages the
  // kernel dropped for want of room count too: something changed.
  bool drain() {
    bool any = false;
    char buffer[8192];
    for (;;) {
      const ssize_t got = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        any = true;
      } else if (got == 0) {
        closed = true;
        return any;
      } else if (errno == ENOBUFS) {
        any = true;
      } else if (errno != EINTR) {
        return any;
      }
    }
  }

  // Ends a poll at once, and a settling wait.
  void stopNow() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      stopping = true;
    }
    stop.notify_all();
    const std::uint64_t one = 1;
    (void)::write(wake, &one, sizeof one);
  }

  // Waits out the settling time; false when stopped meanwhile.
  bool settle() {
    std::unique_lock<std::mutex> lock(mutex);
    return Clock::current()->sleepFor(lock, stop, seconds(kSettleSeconds), [this] { return stopping; });
  }
};

Result<std::unique_ptr<LinkWatch>> LinkWatch::start(std::function<void()> changed) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return posixError(errno, "rtnetlink socket");
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    return posixError(error, "rtnetlink bind");
  }
  return startOn(fd, std::move(changed));
}

Result<std::unique_ptr<LinkWatch>> LinkWatch::startOn(int socket, std::function<void()> changed) {
  auto loop = std::make_shared<Loop>();
  loop->socket = socket;
  loop->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (loop->wake < 0) {
    const int error = errno;
    return posixError(error, "eventfd");
  }
  loop->changed = std::move(changed);
  return std::unique_ptr<LinkWatch>(new LinkWatch(std::move(loop)));
}

LinkWatch::LinkWatch(std::shared_ptr<Loop> loop)
    : loop_(std::move(loop)), thread_([loop = loop_] { loop->run(); }) {}

LinkWatch::~LinkWatch() {
  loop_->stopNow();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace platform
