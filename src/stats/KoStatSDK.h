// The statistics kit's public face: every call goes to the process-wide
// controller (KoStatSDKController), made on the first call. Points are
// recorded with upload flag 1; an empty key records nothing. The category
// (first argument of the event calls) may be absent.
// Threading: the main thread. Failures: none reported.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include "platform/Error.h"
#include "stats/KoStatSDKController.h"

namespace lumora {

class KoStatSDK {
 public:
  KoStatSDK() = delete;
  static void registerKoStat(std::optional<std::string> channel);
  // Interval in minutes, used by policy 3.
  static void setUploadPolicy(std::int32_t policy, std::int32_t interval);
  // Commits under send type 4 only.
  static void triggerUploadManually();
  static void recordPage(const std::string& page);
  static void recordPropertyEvent(std::optional<std::string> category, const std::string& key, std::string value);
  static void recordPropertyEvent(std::optional<std::string> category, const std::string& key, long numeric);
  static void recordCalculateEvent(std::optional<std::string> category, const std::string& key, long value,
                                   std::optional<platform::Json> params = std::nullopt);
  static void recordCountEvent(std::optional<std::string> category, const std::string& key,
                               std::optional<platform::Json> params = std::nullopt);
  // False only for a non-empty text beginning with "kostat_".
  static bool checkCategory(const std::optional<std::string>& category);
  static std::string getDeviceID();
  static std::string getSDKVersion();
};

// Switches the timing of the app's HTTP requests on or off.
class KoStatNetwork {
 public:
  KoStatNetwork() = delete;
  static void enableAnalyticsNetwork(std::weak_ptr<KoAAnalyticsNetworkDelegate> delegate) {
    enableAnalyticsNetwork(true, std::move(delegate));
  }
  static void enableAnalyticsNetwork(bool enable, std::weak_ptr<KoAAnalyticsNetworkDelegate> delegate);
};

}  // namespace lumora
