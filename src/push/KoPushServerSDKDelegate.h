// What the server-side send interface reports. Both hooks are optional and
// called only when set; they run on the main thread (from the main queue,
// or inside the call for an immediate -5). The interface holds its delegate
// weakly. Hooks must not throw.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Error.h"

namespace lumora {

class KoPushServerSDKDelegate {
 public:
  virtual ~KoPushServerSDKDelegate() = default;

  // The outcome of a send: the reply's data, plus the targets under "regid"
  // or "alias" for sends to ids or aliases.
  std::function<void(std::int32_t result, const platform::Json& data)> koPushServerSendWithResult;
  // The outcome of a counters query.
  std::function<void(std::int32_t result, const platform::Json& data)> koPushServerStatsWithResult;
};

}  // namespace lumora
