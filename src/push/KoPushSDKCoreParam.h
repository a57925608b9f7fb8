// What the push kit needs to know about the app and the device. The app's
// configuration ("KoSDKRun", "KoSDKAppID", "KoSDKAppKey",
// "CFBundleIdentifier", "CFBundleVersion") and the device facts are read
// exactly as the statistics kit reads them; the push kit adds its own SDK
// version, the app secrets of the server-side interface
// ("KoSDKAppSecretIOS", "KoSDKAppSecretANDROID") and a resource id that
// stays the same for the life of the installation.
//
// Every getter answers "" rather than nothing. Threading: any thread (the
// resource id is made once under a lock). Ownership: none; the resource id
// lives in the standard user defaults. Failures: none.
#pragma once

#include <string>

#include "stats/KoStatCoreParam.h"

namespace lumora {

class KoPushSDKCoreParam : private KoStatCoreParam {
 public:
  KoPushSDKCoreParam() = delete;

  static constexpr const char* kSDKVersion = "1.3.140901";

  using KoStatCoreParam::getAppID;
  using KoStatCoreParam::getAppPackageName;
  using KoStatCoreParam::getAppToken;
  using KoStatCoreParam::getAppVersion;
  using KoStatCoreParam::getDeviceID;
  using KoStatCoreParam::getDeviceIMEI;
  using KoStatCoreParam::getDeviceModel;
  using KoStatCoreParam::getDevicePlatform;
  using KoStatCoreParam::getServiceURLFlag;
  using KoStatCoreParam::isDistribution;

  static std::string getSDKVersion();
  static std::string getAppSecretIOS();
  static std::string getAppSecretANDROID();
  // "ip" followed by six decimal digits, made at the first call and kept
  // under KOPUSH_SDK_C_ASSIGNED_RESOURCE_ID.
  static std::string getResourceID();
};

}  // namespace lumora
