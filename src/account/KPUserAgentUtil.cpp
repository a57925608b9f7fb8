#include "account/KPUserAgentUtil.h"

#include "platform/device/Bundle.h"
#include "platform/device/Device.h"

namespace lumora {
namespace {

// An information entry as the platform's "%@" would print it.
std::string infoText(const std::string& key) {
  auto value = platform::Bundle::infoValue(key);
  if (!value || value->is_null()) return "(null)";
  if (value->is_string()) return value->get<std::string>();
  return value->dump();
}

}  // namespace

KPUserAgentUtil& KPUserAgentUtil::sharedInstance() {
  static auto& instance = *new KPUserAgentUtil();
  return instance;
}

void KPUserAgentUtil::setCustomizedUserAgent(std::optional<std::string> userAgent) {
  std::lock_guard<std::mutex> guard(mutex_);
  customizedUserAgent_ = std::move(userAgent);
}

std::optional<std::string> KPUserAgentUtil::customizedUserAgent() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return customizedUserAgent_;
}

std::string KPUserAgentUtil::getUserAgent() const {
  if (auto custom = customizedUserAgent()) return *custom;
  return infoText("CFBundleName") + "/" + infoText("CFBundleShortVersionString") + " " + kSDKName +
         "/" + kSDKVersion + " " + platform::Device::systemName() + "/" +
         platform::Device::systemVersion();
}

}  // namespace lumora
