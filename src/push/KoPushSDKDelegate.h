// What the push client reports to the app. Both hooks are optional: a
// delegate provides one by assigning it, and the client calls only hooks
// that are set. `selector` is the name of the public call the outcome
// belongs to ("registerKoPush:", "bindDeviceToken:", "setAlias:", ...);
// `data` holds the reply's data on success, the whole reply when the
// service refused, the stored values when nothing was sent, or nothing.
//
// Threading: hooks run on the main thread, inside the public call when the
// client decides at once, else from the main queue. The client holds its
// delegate weakly. Hooks must not throw.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Error.h"

namespace lumora {

class KoPushSDKDelegate {
 public:
  virtual ~KoPushSDKDelegate() = default;

  // A call succeeded (result 0).
  std::function<void(const std::string& selector, const platform::Json& data)> koPushRequestSuccWithSelector;
  // A call failed with `error`, a result code of the client or its
  // transport.
  std::function<void(const std::string& selector, std::int32_t error, const platform::Json& data)>
      koPushRequestErrWithSelector;
};

}  // namespace lumora
