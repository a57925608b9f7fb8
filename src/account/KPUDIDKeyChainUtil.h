// The device identifier item of the keychain: description "UUID", generic
// "UUID", kept in the process-wide access group when one is set, so that the
// apps of that group share one device id.
//
// Threading: any thread; the access group is one process-wide value behind a
// lock. Failures: as KPKeyChainUtil (logged, nullopt / false; a failed update
// is a failure and loses nothing).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class KPUDIDKeyChainUtil {
 public:
  KPUDIDKeyChainUtil() = delete;

  // The process-wide access group (nullopt or "" = none).
  static void setKeyChainAccessGroup(std::optional<std::string> group);
  static std::optional<std::string> keyChainAccessGroup();

  static std::optional<std::string> getUDIDFromKeyChain();
  static bool setUDIDToKeyChain(std::string_view udid);
  static bool updateUDIDInKeyChain(std::string_view udid);
  static bool removeUDIDFromKeyChain();
};

}  // namespace lumora
