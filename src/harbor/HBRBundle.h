// Facts of the main bundle that the reporting kits send and record
// (identifier, versions, display name, install source, consent to device
// identifiers), and hexadecimal and SHA-1 text of bytes.
// Stateless functions; any thread. Failure: a missing key reads as nullopt
// (or the documented default); nothing else fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Bytes.h"

namespace lumora {

// The bundle identifier with every "/" made "_" (safe in paths and URLs).
std::optional<std::string> HBRSanitizedBundleIdentifier();
// "CFBundleVersion" and "CFBundleShortVersionString".
std::optional<std::string> HBRBundleBuildVersion();
std::optional<std::string> HBRBundleDisplayVersion();
// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::optional<std::string> HBRBundleDisplayName();

// Whether the bundle carries an App Store receipt (never below OS code
// 70000).
bool HBRAppStoreReceiptExists();
// "BlackboxSignedForDistribution" of the bundle holding the class
// "Blackbox"; false when the program has no such class.
bool HBRIsSignedForDistribution();
// 4 for an App Store build, 3 for one signed for distribution, else 1.
int HBRInstallSource();
// "Harbor"."ReportIdentifiers", else "BlackboxCollectDeviceIdentifiers",
// else true.
bool HBRShouldCollectDeviceIdentifiers();

// Writes 2 x length lower-case hex digits and a NUL into `out`, which holds
// 2 x length + 1 bytes (zero-filled first). Nothing when `out` is null; an
// empty text when `bytes` is null or `length` 0. Allocates nothing.
void HBRHexEncodeBytes(const std::uint8_t* bytes, std::size_t length, char* out);
std::string HBRHexStringFromData(const platform::Bytes& data);
// SHA-1 as 40 lower-case hex digits.
std::string HBRSHA1HexStringFromBytes(const std::uint8_t* bytes, std::size_t length);
std::string HBRSHA1HexStringFromData(const platform::Bytes& data);

// Calls `block` with (range bytes, range offset, range length, stop) for each
// contiguous range of the data; a byte buffer is one range.
using HBRByteRangeBlock =
    std::function<void(const std::uint8_t*, std::size_t, std::size_t, bool&)>;
void HBREnumerateDataByteRanges(const platform::Bytes& data, const HBRByteRangeBlock& block);

}  // namespace lumora
