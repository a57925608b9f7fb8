// The host's operating-system version, build and model as the reporting
// kits send them. The version is the device's configured system version
// (the platform's stand-in for the phone's), not the Linux kernel's.
// Stateless functions; any thread. Failure: an unreadable kernel parameter
// is nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumora {

struct HBROperatingSystemVersion {
  std::int64_t majorVersion = 0;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;
};

// The system version text split at "." (missing pieces 0).
HBROperatingSystemVersion HBRHostGetOSVersion();
// major x 10000 for every major from 4 up; 0 below.
std::int64_t HBRHostOSVersionCode();
// A kernel parameter by its sysctl name; nullopt when unreadable or longer
// than 127 bytes.
std::optional<std::string> HBRHostSysctlString(const std::string& name);
std::optional<std::string> HBRHostOSBuildVersion();
// "major.minor.patch".
std::string HBRHostOSDisplayVersion();
std::optional<std::string> HBRHostModelIdentifier();

}  // namespace lumora
