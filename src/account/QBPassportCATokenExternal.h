// Where the CA state of the device is kept: the CA token in the keychain
// item "CATOKEN" (KPKeyChainUtil's shared instance, in its own access
// group) as "token,security", and the time from which CA may be used again
// in the user defaults under "next_ca_enabled_time" (milliseconds since
// 1970, 0 when never written).
//
// Stateless apart from those stores; any thread (each call is one read or
// one write, not locked against another writer). Failures: a keychain
// failure is logged by KPKeyChainUtil and reads as no token.
#pragma once

#include <cstdint>
#include <optional>

#include "account/QBPassportCAToken.h"

namespace lumora {

class QBPassportCATokenExternal {
 public:
  static constexpr const char* kNextCAEnabledTimeKey = "next_ca_enabled_time";

  // A token stores its "token,security" form; nullopt removes the item.
  void saveCAToken(const std::optional<QBPassportCAToken>& token) const;
  // nullopt when there is no item or it holds no comma.
  std::optional<QBPassportCAToken> loadCAToken() const;
  void saveNextCAEnabledTime(std::int64_t milliseconds) const;
  std::int64_t loadNextCAEnabledTime() const;
};

}  // namespace lumora
