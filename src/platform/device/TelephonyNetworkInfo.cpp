#include "platform/device/TelephonyNetworkInfo.h"

#include <mutex>

namespace platform {
namespace {

struct Configuration {
  std::mutex mutex;
  std::optional<Carrier> carrier;
  std::optional<std::string> radioTechnology;
};

Configuration& configuration() {
  static auto& c = *new Configuration();
  return c;
}

}  // namespace

std::optional<Carrier> TelephonyNetworkInfo::subscriberCellularProvider() {
  std::lock_guard<std::mutex> guard(configuration().mutex);
  return configuration().carrier;
}

std::optional<std::string> TelephonyNetworkInfo::currentRadioAccessTechnology() {
  std::lock_guard<std::mutex> guard(configuration().mutex);
  return configuration().radioTechnology;
}

void TelephonyNetworkInfo::configure(std::optional<Carrier> carrier,
                                     std::optional<std::string> radioTechnology) {
  std::lock_guard<std::mutex> guard(configuration().mutex);
  configuration().carrier = std::move(carrier);
  configuration().radioTechnology = std::move(radioTechnology);
}

}  // namespace platform
