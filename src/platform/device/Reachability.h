// Network reachability as the phone reports it: whether the internet can be
// reached, and whether over Wi-Fi or over mobile data. Read from the
// kernel's interface list (NetworkInterface): an interface that is up and
// not a loopback makes the internet reachable. What the phone calls Wi-Fi
// is a link nobody pays for by the amount: a wired or wireless link counts
// as Wi-Fi, a mobile-broadband modem as mobile data, and where the system
// marks its connection metered or unmetered (MeteredNetwork) that mark
// decides. Tests and the window's panel fix the status instead.
//
// Threading: any thread; the status is read afresh on every call (the
// system's mark is kept a few seconds) and the override is guarded by a
// lock. Ownership: the override is process-wide.
// Failures: an unreadable interface list reads as not reachable.
#pragma once

#include <optional>

namespace platform {

enum class NetworkStatus {
  NotReachable = 0,
  ReachableViaWiFi = 1,
  ReachableViaWWAN = 2,
};

class Reachability {
 public:
  // The internet connection: any route out.
  static Reachability reachabilityForInternetConnection();
  // The local Wi-Fi: reachable only over a link that counts as Wi-Fi.
  static Reachability reachabilityForLocalWiFi();

  NetworkStatus currentReachabilityStatus() const;

  // The internet status every reachability reports from now on (local
  // Wi-Fi follows it): the app's network switch, and tests; nullopt reads
  // the interfaces again.
  static void overrideStatus(std::optional<NetworkStatus> internet);

 private:
  explicit Reachability(bool localWiFi) : localWiFi_(localWiFi) {}
  bool localWiFi_;
};

}  // namespace platform
