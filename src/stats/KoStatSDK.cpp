#include "stats/KoStatSDK.h"

#include <fmt/format.h>

#include "stats/KoStatCoreParam.h"

namespace lumora {
namespace {

KoStatSDKController& controller() { return KoStatSDKController::shareKoStatSDKSingletion(); }

}  // namespace

void KoStatSDK::registerKoStat(std::optional<std::string> channel) {
  controller();
  KoStatSDKController::setChannel(std::move(channel));
}

void KoStatSDK::setUploadPolicy(std::int32_t policy, std::int32_t interval) {
  if (policy == 3) controller().setSendInterval(static_cast<double>(interval) * 60);
  controller().setSendType(policy);
}

void KoStatSDK::triggerUploadManually() {
  if (controller().getSendType() == 4) controller().commit();
}

void KoStatSDK::recordPage(const std::string& page) {
  controller().setPointWithKey(fmt::format("{:.0f}", controller().getSessionValue()), page, std::nullopt, 5, 1,
                               std::nullopt);
}

void KoStatSDK::recordPropertyEvent(std::optional<std::string> category, const std::string& key, std::string value) {
  controller().setPointWithKey(key, std::move(value), std::move(category), 1, 1, std::nullopt);
}

void KoStatSDK::recordPropertyEvent(std::optional<std::string> category, const std::string& key, long numeric) {
  controller().setPointWithKey(key, std::int64_t{numeric}, std::move(category), 0, 1, std::nullopt);
}

void KoStatSDK::recordCalculateEvent(std::optional<std::string> category, const std::string& key, long value,
                                     std::optional<platform::Json> params) {
  controller().setPointWithKey(key, std::int64_t{value}, std::move(category), 2, 1, std::move(params));
}

void KoStatSDK::recordCountEvent(std::optional<std::string> category, const std::string& key,
                                 std::optional<platform::Json> params) {
  controller().setPointWithKey(key, std::int64_t{1}, std::move(category), 3, 1, std::move(params));
}

bool KoStatSDK::checkCategory(const std::optional<std::string>& category) {
  return !category || !category->starts_with("kostat_");
}

std::string KoStatSDK::getDeviceID() { return KoStatCoreParam::getDeviceID(); }

std::string KoStatSDK::getSDKVersion() { return KoStatCoreParam::getSDKVersion(); }

void KoStatNetwork::enableAnalyticsNetwork(bool enable, std::weak_ptr<KoAAnalyticsNetworkDelegate> delegate) {
  KoStatSDKController::shareKoStatSDKSingletion().enableAnalyticsNetwork(enable, std::move(delegate));
}

}  // namespace lumora
