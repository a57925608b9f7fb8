// What the statistics kit needs to know about the app and the device: the
// app's configuration from the bundle's information dictionary ("KoSDKRun",
// "KoSDKAppID", "KoSDKAppKey", "CFBundleIdentifier", "CFBundleVersion"),
// the channel the app registered, and device facts (identifier, model,
// system, network type, language, carrier, parent process).
//
// Every getter that reads a text answers "" rather than nothing when the
// value is missing, not a string or empty; only the channel can be absent.
// Threading: any thread; the channel is guarded by a lock. Ownership: the
// channel is process-wide and kept in memory only. Failures: none.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

class KoStatCoreParam {
 public:
  KoStatCoreParam() = delete;

  static constexpr const char* kSDKVersion = "2.1.150812";

  static void setChannel(std::optional<std::string> channel);
  // nullopt until set.
  static std::optional<std::string> getChannel();

  // "online" when "KoSDKRun" is "online" in any letter case, else "debug".
  static std::string getServiceURLFlag();
  static bool isDistribution();
  static std::string getSDKVersion();
  // "ios" followed by the system version ("ios9.3").
  static std::string getDevicePlatform();
  // The device identifier shared by the user's apps; getDeviceIMEI is the
  // same value, sent where an IMEI is expected.
  static std::string getDeviceID();
  static std::string getDeviceIMEI();
  // "hw.machine".
  static std::string getDeviceModel();
  // A system control value by name ("kern.osversion").
  static std::string getSysCTL(std::string_view name);
  // The parent process's name; "unknown" when it cannot be read.
  static std::string getProcessName();
  static std::string getAppPackageName();
  static std::string getAppID();
  static std::string getAppToken();
  static std::string getAppVersion();
  // "WIFI", "NULL" without a network, else the radio technology ("LTE"),
  // "MOBILE" below system version 7.0, "NULL" without a technology.
  static std::string getNetType();
  // The first of the user's preferred languages.
  static std::string getSystemLanguage();
  // The carrier's country code followed by its network code.
  static std::string getOperate();
};

}  // namespace lumora
