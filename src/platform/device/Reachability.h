// Network reachability as the phone reports it: whether the internet can be
// reached, and whether that is over Wi-Fi. Read from the kernel's interface
// list (NetworkInterface): an interface that is up and not a loopback makes
// the internet reachable, over Wi-Fi when it is a wireless one (else it
// counts as the mobile network). Tests fix the status instead.
//
// Threading: any thread; the status is read afresh on every call and the
// override is guarded by a lock. Ownership: the override is process-wide.
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
  // The local Wi-Fi: reachable only over a wireless interface.
  static Reachability reachabilityForLocalWiFi();

  NetworkStatus currentReachabilityStatus() const;

  // Tests: the internet status every reachability reports from now on
  // (local Wi-Fi follows it); nullopt reads the interfaces again.
  static void setStatusForTesting(std::optional<NetworkStatus> internet);

 private:
  explicit Reachability(bool localWiFi) : localWiFi_(localWiFi) {}
  bool localWiFi_;
};

}  // namespace platform
