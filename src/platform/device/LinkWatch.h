// Watches the kernel's network links (rtnetlink: links, IPv4 and IPv6
// addresses coming and going, whoever changes them). Once a burst of such
// messages has settled, after a short wait on the platform clock, `changed`
// runs once on the watch's own thread; messages that arrive during the wait
// join the same call.
//
// Ownership: start() returns the watch; destroying it stops the thread (a
// settling wait ends at once) and waits for a running `changed` to return.
// Destroyed from inside `changed`, it stops without waiting. Threading:
// `changed` runs on the watch's thread. Failure: start() returns the error
// when the kernel gives no socket (netlink refused, as in some sandboxes);
// nothing is told then.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/Result.h"

namespace platform {

class LinkWatch {
 public:
  // How long a burst of messages is left to settle.
  static constexpr double kSettleSeconds = 0.5;

  static Result<std::unique_ptr<LinkWatch>> start(std::function<void()> changed);
  // The same over a datagram socket of the caller's, whose every datagram
  // counts as a message (tests write to its peer). The watch owns `socket`
  // from now on, on failure too.
  static Result<std::unique_ptr<LinkWatch>> startOn(int socket, std::function<void()> changed);

  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

 private:
  struct Loop;
  explicit LinkWatch(std::shared_ptr<Loop> loop);

  std::shared_ptr<Loop> loop_;  // shared with the thread
  std::thread thread_;
};

}  // namespace platform
