// The app's view of network reachability over time: a status (-1 unknown,
// 0 none, 1 mobile data, 2 Wi-Fi) and any number of listeners, each kept
// under its own token until its owner removes it. The status is read from
// Reachability (where the window panel's setting, while there is one, wins
// over the machine's own network) when monitoring starts, on every refresh()
// (the panel calls it after turning the network) and whenever the kernel
// tells of a link or an address that came or went (LinkWatch, on the watch's
// own thread). A changed status is sent to every listener on the main queue;
// a status read again unchanged is not.
//
// Ownership: sharedMonitor() is the one monitor, process-wide, created on
// first use and never destroyed; it owns the listeners until they are
// removed, and its link watch while monitoring.
// Threading: every member may be called from any thread; listeners run on
// the main queue, never under the monitor's lock, and a listener removed
// before its turn is not called.
// Failures: none; an unreadable network reads as not reachable, and where
// the kernel's link messages cannot be had the status is read only at start
// and on refresh().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Result.h"
#include "platform/device/LinkWatch.h"

namespace platform {

enum class ReachabilityStatus {
  Unknown = -1,
  NotReachable = 0,
  ReachableViaWWAN = 1,
  ReachableViaWiFi = 2,
};

class ReachabilityMonitor {
 public:
  using Listener = std::function<void(ReachabilityStatus status)>;
  using ListenerToken = std::uint64_t;
  using LinkWatchStarter = std::function<Result<std::unique_ptr<LinkWatch>>(std::function<void()> changed)>;

  static ReachabilityMonitor& sharedMonitor();

  ReachabilityMonitor(const ReachabilityMonitor&) = delete;
  ReachabilityMonitor& operator=(const ReachabilityMonitor&) = delete;

  // Starting reads the network at once and watches the links; stopping
  // ends the watch, forgets the status (Unknown) and ignores refreshes until
  // the next start. Listeners stay.
  void startMonitoring();
  void stopMonitoring();
  // Reads the network again while monitoring.
  void refresh();

  ReachabilityStatus networkReachabilityStatus() const;
  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;

  // Never 0; an empty listener is not kept and yields 0.
  ListenerToken addListener(Listener listener);
  // Unknown tokens are ignored.
  void removeListener(ListenerToken token);

  // Tests: how the next start watches the links (nullptr: the kernel's).
  void setLinkWatchForTesting(LinkWatchStarter start);
  // Tests: stopped, no listeners, the kernel's link watch.
  void resetForTesting();

 private:
  ReachabilityMonitor() = default;
  void update(ReachabilityStatus status);
  void deliver(ListenerToken token, ReachabilityStatus status);
  void linkChanged();

  // Starting and stopping, one at a time; never taken by the watch's thread,
  // so the watch can be ended (and waited for) under it.
  std::mutex lifecycle_;
  std::unique_ptr<LinkWatch> watch_;  // guarded by lifecycle_
  LinkWatchStarter startWatch_;       // guarded by lifecycle_
  // One reading at a time, each with its update, so a reading begun before
  // the network changed cannot land after one begun later.
  std::mutex reading_;

  mutable std::mutex mutex_;
  bool monitoring_ = false;
  ReachabilityStatus status_ = ReachabilityStatus::Unknown;
  std::map<ListenerToken, Listener> listeners_;
  ListenerToken nextToken_ = 1;
};

}  // namespace platform
