#include "stats/KoStatCoreParam.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/device/Bundle.h"
#include "platform/Bytes.h"
#include "platform/device/Device.h"
#include "platform/device/DeviceIdentifier.h"
#include "platform/device/Reachability.h"
#include "platform/device/TelephonyNetworkInfo.h"
#include "platform/storage/UserDefaults.h"

namespace lumora {
namespace {

constexpr std::string_view kRadioPrefix = "CTRadioAccessTechnology";

struct Channel {
  std::mutex mutex;
  std::optional<std::string> value;
};

Channel& channel() {
  static auto& c = *new Channel();
  return c;
}

std::string bundleText(const char* key) { return platform::Bundle::infoString(key).value_or(""); }

std::string text(const std::optional<std::string>& value) { return value.value_or(""); }

// Whether a version text ("6.1.3") lies below `major`.
bool versionBelow(const std::string& version, long major) {
  return std::strtol(version.c_str(), nullptr, 10) < major;
}

}  // namespace

void KoStatCoreParam::setChannel(std::optional<std::string> value) {
  std::lock_guard<std::mutex> guard(channel().mutex);
  channel().value = std::move(value);
}

std::optional<std::string> KoStatCoreParam::getChannel() {
  std::lock_guard<std::mutex> guard(channel().mutex);
  return channel().value;
}

std::string KoStatCoreParam::getServiceURLFlag() {
  return platform::lowerCased(bundleText("KoSDKRun")) == "online" ? "online" : "debug";
}

bool KoStatCoreParam::isDistribution() { return getServiceURLFlag() == "online"; }

std::string KoStatCoreParam::getSDKVersion() { return kSDKVersion; }

std::string KoStatCoreParam::getDevicePlatform() {
  return "ios" + platform::Device::systemVersion();
}

std::string KoStatCoreParam::getDeviceID() { return text(platform::DeviceIdentifier::value()); }

std::string KoStatCoreParam::getDeviceIMEI() { return getDeviceID(); }

std::string KoStatCoreParam::getDeviceModel() { return getSysCTL("hw.machine"); }

std::string KoStatCoreParam::getSysCTL(std::string_view name) {
  return text(platform::Device::sysInfo(name));
}

std::string KoStatCoreParam::getProcessName() {
  return platform::Device::processName(static_cast<int>(getppid())).value_or("unknown");
}

std::string KoStatCoreParam::getAppPackageName() { return bundleText("CFBundleIdentifier"); }

std::string KoStatCoreParam::getAppID() { return bundleText("KoSDKAppID"); }

std::string KoStatCoreParam::getAppToken() { return bundleText("KoSDKAppKey"); }

std::string KoStatCoreParam::getAppVersion() { return bundleText("CFBundleVersion"); }

std::string KoStatCoreParam::getNetType() {
  using platform::NetworkStatus;
  using platform::Reachability;
  if (Reachability::reachabilityForLocalWiFi().currentReachabilityStatus() != NetworkStatus::NotReachable) {
    return "WIFI";
  }
  if (Reachability::reachabilityForInternetConnection().currentReachabilityStatus() ==
      NetworkStatus::NotReachable) {
    return "NULL";
  }
  if (versionBelow(platform::Device::systemVersion(), 7)) return "MOBILE";
  auto radio = platform::TelephonyNetworkInfo::currentRadioAccessTechnology();
  if (!radio || !radio->starts_with(kRadioPrefix)) return "NULL";
  return radio->substr(kRadioPrefix.size());
}

std::string KoStatCoreParam::getSystemLanguage() {
  auto languages =
      platform::UserDefaults::standard().arrayForKey(platform::UserDefaults::kAppleLanguagesKey);
  if (!languages || languages->empty() || !languages->front().is_string()) return "";
  return languages->front().get<std::string>();
}

std::string KoStatCoreParam::getOperate() {
  auto carrier = platform::TelephonyNetworkInfo::subscriberCellularProvider();
  if (!carrier) return "";
  return text(carrier->mobileCountryCode) + text(carrier->mobileNetworkCode);
}

}  // namespace lumora
