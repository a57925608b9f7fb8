#include "platform/device/Reachability.h"

#include <mutex>

#include "platform/device/MeteredNetwork.h"
#include "platform/device/NetworkInterface.h"

namespace platform {
namespace {

struct Override {
  std::mutex mutex;
  std::optional<NetworkStatus> internet;
};

Override& statusOverride() {
  static auto& o = *new Override();
  return o;
}

NetworkStatus internetStatus() {
  {
    std::lock_guard<std::mutex> guard(statusOverride().mutex);
    if (statusOverride().internet) return *statusOverride().internet;
  }
  bool unmetered = false;
  bool mobile = false;
  for (const NetworkInterface::State& state : NetworkInterface::states()) {
    if (!state.up || state.loopback) continue;
    (state.mobile ? mobile : unmetered) = true;
  }
  if (!unmetered && !mobile) return NetworkStatus::NotReachable;
  if (auto metered = MeteredNetwork::systemMetered()) {
    return *metered ? NetworkStatus::ReachableViaWWAN : NetworkStatus::ReachableViaWiFi;
  }
  return unmetered ? NetworkStatus::ReachableViaWiFi : NetworkStatus::ReachableViaWWAN;
}

}  // namespace

Reachability Reachability::reachabilityForInternetConnection() { return Reachability(false); }

Reachability Reachability::reachabilityForLocalWiFi() { return Reachability(true); }

NetworkStatus Reachability::currentReachabilityStatus() const {
  NetworkStatus status = internetStatus();
  if (localWiFi_ && status != NetworkStatus::ReachableViaWiFi) return NetworkStatus::NotReachable;
  return status;
}

void Reachability::overrideStatus(std::optional<NetworkStatus> internet) {
  std::lock_guard<std::mutex> guard(statusOverride().mutex);
  statusOverride().internet = internet;
}

}  // namespace platform
