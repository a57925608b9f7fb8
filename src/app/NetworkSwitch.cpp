#include "app/NetworkSwitch.h"

#include "platform/device/ReachabilityMonitor.h"
#include "platform/http/PhoneNetwork.h"
#include "platform/ui/Resources.h"

namespace lumora {

using platform::NetworkStatus;

std::string NetworkSwitch::label() const {
  using platform::ui::localizedString;
  if (!setting_) return localizedString("网络：本机");
  switch (*setting_) {
    case NetworkStatus::ReachableViaWiFi:
      return localizedString("网络：Wi-Fi");
    case NetworkStatus::ReachableViaWWAN:
      return localizedString("网络：移动数据");
    case NetworkStatus::NotReachable:
      break;
  }
  return localizedString("网络：无");
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
