// The app's view of network reachability over time: a status (-1 unknown,
// 0 none, 1 mobile data, 2 Wi-Fi) and any number of listeners, each kept
// under its own token until its owner removes it. The status is read from
// Reachability when monitoring starts and on every refresh() (the panel or a
// test calls it after changing the network); a changed status is sent to
// every listener on the main queue.
//
// Ownership: sharedMonitor() is the one monitor, process-wide, created on
// first use and never destroyed; it owns the listeners until they are removed.
// Threading: every member may be called from any thread; listeners run on
// the main queue, never under the monitor's lock, and a listener removed
// before its turn is not called.
// Failures: none; an unreadable network reads as not reachable.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

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

  static ReachabilityMonitor& sharedMonitor();

  ReachabilityMonitor(const ReachabilityMonitor&) = delete;
  ReachabilityMonitor& operator=(const ReachabilityMonitor&) = delete;

  // Starting reads the network at once; stopping forgets the status
  // (Unknown) and ignores refreshes until the next start. Listeners stay.
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

  // Tests: stopped, no listeners.
  void resetForTesting();

 private:
  ReachabilityMonitor() = default;
  void update(ReachabilityStatus status);
  void deliver(ListenerToken token, ReachabilityStatus status);

  mutable std::mutex mutex_;
  bool monitoring_ = false;
  ReachabilityStatus status_ = ReachabilityStatus::Unknown;
  std::map<ListenerToken, Listener> listeners_;
  ListenerToken nextToken_ = 1;
};

}  // namespace platform
