// The phone's cellular facts: the carrier of the SIM (country and network
// codes) and the radio access technology in use
// ("CTRadioAccessTechnologyLTE", ...). A Linux machine has neither, so both
// are absent unless configured (tests, or a host that wants phone-like
// values).
//
// Threading: any thread; the configuration is guarded by a lock.
// Ownership: one process-wide configuration. Failures: none.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct Carrier {
  std::optional<std::string> mobileCountryCode;
  std::optional<std::string> mobileNetworkCode;
};

class TelephonyNetworkInfo {
 public:
  static std::optional<Carrier> subscriberCellularProvider();
  static std::optional<std::string> currentRadioAccessTechnology();

  // Sets both facts (nullopt: none).
  static void configure(std::optional<Carrier> carrier, std::optional<std::string> radioTechnology);
};

}  // namespace platform
