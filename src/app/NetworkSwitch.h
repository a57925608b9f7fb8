// The window panel's network switch: the network the phone sees, in turn the
// machine's own, Wi-Fi, mobile data and none. A turn takes effect at once:
// the shared reachability monitor reads the network again, so every screen
// listening to it hears the change, as on a phone whose network changes.
// With none the phone is offline: the app's requests fail as a phone's
// without a network do, those under way too (PhoneNetwork).
//
// Ownership: the panel keeps one. Threading: main thread. Failure: none.
#pragma once

#include <optional>
#include <string>

#include "platform/device/Reachability.h"

namespace lumora {

class NetworkSwitch {
 public:
  // The current setting, in the app's language.
  std::string label() const;
  // The next setting, told to the monitor.
  void next();
  // nullopt: the machine's own network.
  std::optional<platform::NetworkStatus> setting() const { return setting_; }

 private:
  std::optional<platform::NetworkStatus> setting_;
};

}  // namespace lumora
