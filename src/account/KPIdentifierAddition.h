// Device identifiers of the account SDK: the primary network interface's
// hardware address, a per-app digest of it, and the account device id that
// every account request carries (kept in the keychain's "UUID" item so that
// it survives reinstalls).
//
// Threading: any thread. The device id is cached for the life of the process
// behind a lock; concurrent first calls may each compute and store the same
// value. Failures: nullopt where stated; the device id never fails (at worst
// it is "").
#pragma once

#include <optional>
#include <string>

namespace lumora {

// The hardware address of the device's primary network interface as
// "%02X:%02X:%02X:%02X:%02X:%02X"; nullopt when there is none.
std::optional<std::string> kpMacaddress();

// MD5 (upper-case hex) of the address text immediately followed by the
// bundle identifier (a missing part reads "(null)").
std::optional<std::string> kpUniqueDeviceIdentifier();

// The account device id: the cached value, else the keychain's device
// identifier item, else the first 16 hex digits of the MD5 of the vendor
// identifier (or, without one, of the hardware address), stored in the
// keychain. "" when nothing can be formed (and then nothing is stored).
std::string kpUniqueGlobalDeviceIdentifier();

// Forgets the cached device id (tests that start a new "process").
void kpResetUniqueGlobalDeviceIdentifierCacheForTesting();

}  // namespace lumora
