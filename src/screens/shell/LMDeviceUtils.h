// Ties the device to the signed-in account: the keychain group in which the
// account SDK keeps the device identifier, and the registration of the
// device's information with the cloud, once per account (the flag
// "kLMDeviceInfoRegisterKey" in the user defaults) until logout clears it.
//
// Ownership: class functions only. Threading: the main thread; the
// registration's network work runs on the contact adapter's queue and its
// completion comes back on the main queue.
// Failures: a failed registration leaves the flag NO (the next activation
// tries again) and is shown to nobody; its background task ends either way.
#pragma once

#include <string>

namespace lumora {

class LMDeviceUtils {
 public:
  LMDeviceUtils() = delete;

  static constexpr const char* kRegisteredKey = "kLMDeviceInfoRegisterKey";

  // "<team prefix>.com.quenby.device.identifier", the prefix taken from the
  // bundle's "AppIdentifierPrefix"; the bare group without one.
  static std::string keyChainAccessGroup();
  // Hands the group to the account SDK; first thing at start-up.
  static void loadUniqueDeviceIdentifier();
  // Registers once per account; nothing without a signed-in user.
  static void registerLumoraDeviceInfo();
  // Logout: the next account registers again.
  static void unregisterLumoraDeviceInfo();
};

}  // namespace lumora
