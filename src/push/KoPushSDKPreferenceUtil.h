// The push kit's state in the standard user defaults: the typed access of
// the statistics kit (strings and arrays of strings here, each change on
// disk when the call returns) and the push kit's own keys.
// Threading, ownership and failures: as KoStatPreferenceUtil.
#pragma once

#include <string>

#include "stats/KoStatPreferenceUtil.h"

namespace lumora {

// The run mode of the last start ("online" or "debug") and the SDK version.
inline constexpr const char* KOPUSH_SDK_C_ASSIGNED_SERVICE_URL_FLAG = "KOPUSH_SDK_C_ASSIGNED_SERVICE_URL_FLAG";
inline constexpr const char* KOPUSH_SDK_C_ASSIGNED_SDK_VERSION = "KOPUSH_SDK_C_ASSIGNED_SDK_VERSION";
// The app user (app-user registration).
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_USER_ID = "KOPUSH_SDK_S_ASSIGNED_USER_ID";
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_USER_SECURITY = "KOPUSH_SDK_S_ASSIGNED_USER_SECURITY";
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_USER_TOKEN = "KOPUSH_SDK_S_ASSIGNED_USER_TOKEN";
// The registration (token binding).
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_REG_ID = "KOPUSH_SDK_S_ASSIGNED_REG_ID";
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_REG_SECRET = "KOPUSH_SDK_S_ASSIGNED_REG_SECRET";
inline constexpr const char* KOPUSH_SDK_S_ASSIGNED_REG_AT = "KOPUSH_SDK_S_ASSIGNED_REG_AT";
inline constexpr const char* KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN = "KOPUSH_SDK_C_ASSIGNED_DEVICE_TOKEN";
inline constexpr const char* KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID = "KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID";
// Arrays of strings: the aliases and topics the service accepted.
inline constexpr const char* KOPUSH_SDK_C_REGISTER_ALIAS_LIST = "KOPUSH_SDK_C_REGISTER_ALIAS_LIST";
inline constexpr const char* KOPUSH_SDK_C_REGISTER_TOPIC_LIST = "KOPUSH_SDK_C_REGISTER_TOPIC_LIST";

class KoPushSDKPreferenceUtil : private KoStatPreferenceUtil {
 public:
  KoPushSDKPreferenceUtil() = delete;

  using KoStatPreferenceUtil::getArrayWithKey;
  using KoStatPreferenceUtil::getStringWithKey;
  using KoStatPreferenceUtil::setKeyAppendArrayItem;
  using KoStatPreferenceUtil::setKeyArrayValue;
  using KoStatPreferenceUtil::setKeyRemoveArrayItem;
  using KoStatPreferenceUtil::setKeyStringValue;

  // The text stored under `key`, "" when there is none.
  static std::string storedString(const std::string& key) { return getStringWithKey(key).value_or(""); }
};

}  // namespace lumora
