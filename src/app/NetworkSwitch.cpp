#include "app/NetworkSwitch.h"

#include "platform/device/ReachabilityMonitor.h"
#include "platform/http/PhoneNetwork.h"

namespace lumora {

using platform::NetworkStatus;

std::string NetworkSwitch::label() const {
  if (!setting_) return "Network: this machine's";
  switch (*setting_) {
    case NetworkStatus::ReachableViaWiFi:
      return "Network: Wi-Fi";
    case NetworkStatus::ReachableViaWWAN:
      return "Network: mobile data";
    case NetworkStatus::NotReachable:
      break;
  }
  return "Network: none";
}

void NetworkSwitch::next() {
  if (!setting_) {
    setting_ = NetworkStatus::ReachableViaWiFi;
  } else if (*setting_ == NetworkStatus::ReachableViaWiFi) {
    setting_ = NetworkStatus::ReachableViaWWAN;
  } else if (*setting_ == NetworkStatus::ReachableViaWWAN) {
    setting_ = NetworkStatus::NotReachable;
  } else {
    setting_.reset();
  }
  platform::Reachability::overrideStatus(setting_);
  platform::http::PhoneNetwork::setConnected(setting_ != NetworkStatus::NotReachable);
  platform::ReachabilityMonitor::sharedMonitor().refresh();
}

}  // namespace lumora
